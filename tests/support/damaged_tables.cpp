#include "tests/support/damaged_tables.h"

#include <cstring>

#include "format/header_block.h"
#include "kotar/reader.h"
#include "tests/support/indexed_builder.h"
#include "tests/support/test_support.h"

namespace kotar::test {

namespace {
const std::string kReadFailure = "unable to read input file\n";
}  // namespace

const std::vector<DamagedTable>& damagedTables() {
    static const std::vector<DamagedTable> tables = [] {
        const HeaderBlock good = indexedHeader({.name = "good", .size = 5});
        const std::string goodLine = "-rw-r--r-- 1000/1000          5 2009-02-13 23:31 good\n";
        std::string goodBlock;
        appendBlock(goodBlock, good);
        const auto withBlocks = [&](std::initializer_list<HeaderBlock> blocks, bool zeroBlock = true) {
            std::string bytes = goodBlock;
            for (const HeaderBlock& block : blocks) appendBlock(bytes, block);
            if (zeroBlock) appendBlock(bytes, HeaderBlock{});
            return bytes;
        };

        HeaderBlock plain = makeHeader({.name = "plain"});
        HeaderBlock posix = plain;
        std::memcpy(posix.data() + field::magic.offset, "ustar\0" "00", 8);
        setHeaderChecksum(posix, false);
        HeaderBlock runOn = indexedHeader({.name = "run-on"});
        runOn[field::magic.offset + 7] = 'X';  // no NUL: the quoted text runs into uname
        setHeaderChecksum(runOn, true);
        HeaderBlock badSum = indexedHeader({.name = "bad-sum"});
        const HeaderSums sums = computeHeaderSums(badSum);
        setOctalField(badSum, field::chksum, static_cast<std::uint64_t>(sums.unsignedSum + 1));
        HeaderBlock noSum = indexedHeader({.name = "no-sum"});
        std::memset(noSum.data() + field::chksum.offset, ' ', field::chksum.width);

        HeaderBlock longName = indexedHeader({.name = "././@LongLink", .size = 600, .typeflag = 'L'});
        const auto longNameOfSize = [&](const std::string& sizeText) {
            HeaderBlock block = longName;
            setFieldText(block, field::size, sizeText);
            return block;
        };
        std::string longText600;
        appendPadded(longText600, nameText(599, 'L'));
        const auto afterLongName = [&](const HeaderBlock& block) {
            std::string bytes = goodBlock;
            appendBlock(bytes, longName);
            bytes += longText600;
            appendBlock(bytes, block);
            appendBlock(bytes, HeaderBlock{});
            return bytes;
        };
        const std::string checksumMismatch = "invalid tar, checksum mismatch\n";

        return std::vector<DamagedTable>{
            {"plain magic", withBlocks({plain}), goodLine, "invalid kotar magic 'ustar  '\n", 255, KOTAR_EMAGIC},
            {"POSIX magic", withBlocks({posix}), goodLine, "invalid kotar magic 'ustar'\n", 255, KOTAR_EMAGIC},
            {"magic without NUL", withBlocks({runOn}), goodLine, "invalid kotar magic 'kerix  X'\n", 255, KOTAR_EMAGIC},
            {"wrong checksum", withBlocks({good, badSum, good}), goodLine + goodLine,
             "invalid tar, checksum mismatch\n", 255, KOTAR_ECHECKSUM},
            {"blank checksum", withBlocks({noSum}), goodLine, "invalid tar, checksum mismatch\n", 255, KOTAR_ECHECKSUM},
            {"no zero block", withBlocks({good}, false), goodLine + goodLine, kReadFailure, 255, KOTAR_ETRUNCATED},
            {"half a header", goodBlock + std::string(300, 'a'), goodLine, kReadFailure, 255, KOTAR_ETRUNCATED},
            {"empty input", "", "", kReadFailure, 255, KOTAR_ETRUNCATED},
            {"zero block first", std::string(512, '\0') + goodBlock, "", "", 0, KOTAR_OK},
            // Only 512 zero bytes end the table: a block with an empty name is a header.
            {"zero block that is not all zeros", std::string(1, '\0') + goodBlock.substr(1) + goodBlock, "",
             "invalid tar, checksum mismatch\n", 255, KOTAR_ECHECKSUM},
            {"long text cut short", goodBlock + std::string(reinterpret_cast<const char*>(longName.data()), 512) +
                                        longText600.substr(0, 300),
             goodLine, kReadFailure, 255, KOTAR_ETRUNCATED},
            {"no header after a long text",
             goodBlock + std::string(reinterpret_cast<const char*>(longName.data()), 512) + longText600, goodLine,
             kReadFailure, 255, KOTAR_ETRUNCATED},
            {"negative long-name size", withBlocks({longNameOfSize("-1"), good}), goodLine, kReadFailure, 255, KOTAR_EFIELD},
            {"long-name size -2^31", withBlocks({longNameOfSize("20000000000"), good}), goodLine, kReadFailure, 255, KOTAR_EFIELD},
            {"long-name size 2^32 - 1", withBlocks({longNameOfSize("37777777777"), good}), goodLine, kReadFailure, 255, KOTAR_EFIELD},
            {"long-name size beyond the input", withBlocks({longNameOfSize("17777777777"), good, good}), goodLine,
             kReadFailure, 255, KOTAR_ETRUNCATED},
            // The header that a long name names passes the same checks as any.
            {"bad checksum after a long name", afterLongName(badSum), goodLine, checksumMismatch, 255,
             KOTAR_ECHECKSUM, checksumMismatch, 0},  // extraction only warns of a checksum
            {"foreign magic after a long name", afterLongName(plain), goodLine, "invalid kotar magic 'ustar  '\n", 255,
             KOTAR_EMAGIC, "invalid kotar magic 'ustar  '\n", 255},
            {"zero block after a long name", afterLongName(HeaderBlock{}), goodLine, kReadFailure, 255,
             KOTAR_ELONGNAME, kReadFailure, 255},
        };
    }();
    return tables;
}

const std::vector<SizeField>& sizeFields() {
    static const std::vector<SizeField> fields = {
        {"negative", "-0000001000", false, true},
        {"negative after spaces", "   -1", false, true},
        {"2^31", "20000000000", false, false},
        {"2^32 - 1", "37777777777", false, false},
        {"2^32 + 512, whose low 32 bits are 512", "40000001000", false, false},
        {"eleven sevens", "77777777777", false, false},
        {"twelve sevens, no terminator", "777777777777", false, false},
        {"base-256 form of 512", std::string("\x80\0\0\0\0\0\0\0\0\0\x02\0", 12), false, false},
        {"base-256 form of -1", std::string(12, '\xFF'), false, false},
        {"spaces around the digits", "     1000 ", true, false},
        {"plus sign", "+0000001000", true, false},
        {"twelve digits, no terminator", "000000001000", true, false},
    };
    return fields;
}

}  // namespace kotar::test
