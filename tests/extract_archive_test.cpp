// Tests of `kotar -x`: indexed archives made by `kotar -c` from real GNU tar
// archives, and indexed archives built byte by byte here, each extracted
// from its ktar and from its kgz form.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "convert/extract_archive.h"
#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "input/archive_input.h"
#include "tests/support/indexed_builder.h"
#include "tests/support/damaged_tables.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::CommandResult;
using test::HeaderSpec;
using test::TempDir;
using test::blockAt;
using test::bytesOf;
using test::kEarlierDestination;
using test::makeHeader;
using test::readFile;
using test::runCommand;
using test::runKotar;
using test::shell;
using test::shellQuoted;
using test::writeFile;

const std::string kReadFailure = "unable to read input file\n";
const std::string kInvalidInput = "invalid input file\n";
const std::string kChecksumWarning = "invalid tar, checksum mismatch\n";
const std::string kEndOfArchive(2 * kBlockSize, '\0');

bool allZero(const std::string& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == '\0'; });
}

std::string randomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(random() >> 24);
    return bytes;
}

// Rewrites one header of an indexed archive and gives it the checksum that
// creation would store, so only the intended change is left as damage.
template <typename Edit>
void editHeader(std::string& archive, std::size_t headerOffset, Edit edit) {
    HeaderBlock block = blockAt(archive, headerOffset);
    edit(block);
    setHeaderChecksum(block, true);
    archive.replace(headerOffset, kBlockSize, bytesOf(block));
}

// An indexed archive built in code from the plain headers that extracting it
// must give back. The expected tar is produced alongside, from the same
// entries, the way GNU tar lays a tar out.
class IndexedArchive {
public:
    // A member; its size is that of `data`. `dataOffset` places the data
    // somewhere else than the next free block of the data area.
    IndexedArchive& member(HeaderSpec spec, const std::string& data = {},
                           std::optional<std::uint32_t> dataOffset = std::nullopt) {
        spec.size = data.size();
        entries_.push_back({makeHeader(spec), data, false, dataOffset});
        return *this;
    }

    // A member that creation aligned as an executable: type '7', data on a
    // 4096 boundary, analysis fields filled. It must come back as type '0'.
    IndexedArchive& executable(HeaderSpec spec, const std::string& data) {
        spec.size = data.size();
        spec.typeflag = '0';
        entries_.push_back({makeHeader(spec), data, true, std::nullopt});
        return *this;
    }

    // A 'K' or 'L' entry for `text`; the rest of its last block is filled
    // with `tail` (the garbage a tar may leave there). `extension` goes to
    // bytes 496 to 511, which such headers keep.
    IndexedArchive& longName(char type, const std::string& text, char tail = '\0',
                             const std::string& extension = {}) {
        HeaderBlock header = makeHeader({.name = "././@LongLink", .mode = 0, .size = text.size(), .typeflag = type});
        std::memcpy(header.data() + field::extension.offset, extension.data(),
                    std::min(extension.size(), field::extension.width));
        setHeaderChecksum(header, false);
        std::string blocks = text;
        blocks.append((kBlockSize - text.size() % kBlockSize) % kBlockSize, tail);
        entries_.push_back({header, blocks, false, std::nullopt, true});
        return *this;
    }

    // A plain header as it is (for entries this class cannot describe).
    IndexedArchive& rawMember(const HeaderBlock& plain) {
        entries_.push_back({plain, {}, false, std::nullopt});
        return *this;
    }

    // The ktar bytes.
    std::string indexed() const {
        std::uint64_t tableBlocks = 0;
        for (const Entry& e : entries_) tableBlocks += 1 + (e.longName ? e.payload.size() / kBlockSize : 0);
        std::string table;
        std::string file((tableBlocks + 1) * kBlockSize, '\0');
        std::uint64_t cursor = file.size();
        for (const Entry& e : entries_) {
            HeaderBlock header = e.plain;
            storeMagic(header, kIndexedMagic);
            if (e.longName) {
                setHeaderChecksum(header, true);
                table += bytesOf(header) + e.payload;
                continue;
            }
            const std::uint64_t alignment = e.aligned ? kPageSize : kBlockSize;
            std::uint64_t offset = 0;
            if (!e.payload.empty()) {
                offset = e.dataOffset ? *e.dataOffset : roundUp(cursor, alignment);
                if (file.size() < offset + e.payload.size()) file.resize(offset + e.payload.size(), '\0');
                file.replace(offset, e.payload.size(), e.payload);
                cursor = std::max(cursor, roundUp(offset + e.payload.size(), alignment));
            }
            if (e.aligned) {
                header[field::typeflag.offset] = kTypeAlignedExecutable;
                writeExtensionField(header, kTextOffsetAt, 0x1000);
                writeExtensionField(header, kTextPgsAt, 3);
                writeExtensionField(header, kFixUpPgsAt, 2);
            }
            writeExtensionField(header, kDataOffsetAt, static_cast<std::uint32_t>(offset));
            setHeaderChecksum(header, true);
            table += bytesOf(header);
        }
        file.replace(0, table.size(), table);
        return file;
    }

    // The tar that extraction must write.
    std::string plain() const {
        std::string tar;
        for (const Entry& e : entries_) {
            test::appendBlock(tar, e.plain);
            test::appendPadded(tar, e.payload);
        }
        return tar + kEndOfArchive;
    }

    // Where the header of entry `index` lies in the expected tar.
    std::size_t plainOffsetOf(std::size_t index) const {
        std::size_t offset = 0;
        for (std::size_t i = 0; i < index; ++i) offset += kBlockSize + roundUp(entries_[i].payload.size(), kBlockSize);
        return offset;
    }

    // Where the header of entry `index` lies in the indexed archive.
    std::size_t indexedOffsetOf(std::size_t index) const {
        std::size_t offset = 0;
        for (std::size_t i = 0; i < index; ++i) {
            offset += kBlockSize + (entries_[i].longName ? entries_[i].payload.size() : 0);
        }
        return offset;
    }

private:
    struct Entry {
        HeaderBlock plain;
        std::string payload;  // member data, or the whole text blocks of a long name
        bool aligned;
        std::optional<std::uint32_t> dataOffset;
        bool longName = false;
    };
    std::vector<Entry> entries_;
};

struct Extraction {
    int status = -1;
    std::string out;
    std::string err;
    std::string tar;  // the destination's bytes
    bool created = false;
};


Extraction extractFile(const std::string& input, const std::string& destination) {
    const CommandResult result = runKotar({"-x", input, "-o", destination});
    return {result.status, result.out, result.err, readFile(destination), test::fileExists(destination)};
}

// Extracts `ktar` from a ktar file and from its gzip-compressed form, checks
// that both give the same status, messages and output, and returns the
// result of the ktar. Nothing is ever printed on standard output.
Extraction extractBothForms(const std::string& ktar) {
    TempDir dir;
    writeFile(dir / "in.ktar", ktar);
    shell("gzip -c " + shellQuoted(dir / "in.ktar") + " > " + shellQuoted(dir / "in.kgz"));
    writeFile(dir / "out.tar", kEarlierDestination);
    writeFile(dir / "out-kgz.tar", kEarlierDestination);
    const Extraction plain = extractFile(dir / "in.ktar", dir / "out.tar");
    const Extraction compressed = extractFile(dir / "in.kgz", dir / "out-kgz.tar");
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(compressed.status, plain.status) << "kgz input";
    EXPECT_EQ(compressed.err, plain.err) << "kgz input";
    EXPECT_TRUE(compressed.tar == plain.tar) << "kgz input gives a different tar";
    return plain;
}

// A header as extraction must write it: plain magic, unsigned checksum,
// bytes 496 to 511 zero (all but long-name headers).
void expectPlainHeader(const HeaderBlock& block) {
    EXPECT_TRUE(hasMagic(block, kPlainMagic));
    EXPECT_EQ(parseOctalField(block, field::chksum), computeHeaderSums(block).unsignedSum);
    EXPECT_EQ(block[field::chksum.offset + 6], '\0');
    EXPECT_EQ(block[field::chksum.offset + 7], ' ');
    EXPECT_TRUE(allZero(bytesOf(block).substr(field::extension.offset)));
}

// ---------------------------------------------------------------------------
// Hand-made indexed archives

TEST(ExtractArchive, EmptyArchiveGivesJustTheEndOfArchive) {
    const struct {
        const char* what;
        std::string ktar;
    } cases[] = {
        {"a zero block", std::string(kBlockSize, '\0')},
        {"two zero blocks, as creation writes them", std::string(2 * kBlockSize, '\0')},
        {"a zero block before garbage", std::string(kBlockSize, '\0') + "trailing bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Extraction x = extractBothForms(c.ktar);
        EXPECT_EQ(x.status, 0);
        EXPECT_EQ(x.err, "");
        EXPECT_TRUE(x.tar == kEndOfArchive) << "output of " << x.tar.size() << " bytes";
    }
}

TEST(ExtractArchive, MembersComeOutInOrderWithTheirDataPaddedToBlocks) {
    const std::vector<std::size_t> cases[] = {
        {1}, {512}, {0}, {511}, {513}, {4096}, {4097}, {100000}, {300000},
        {1, 0, 512, 513, 0, 4095, 1, 100000, 2},
    };
    std::uint32_t seed = 1;
    for (const std::vector<std::size_t>& sizes : cases) {
        std::string trace = "sizes";
        IndexedArchive archive;
        for (std::size_t size : sizes) {
            trace.append(" ").append(std::to_string(size));
            archive.member({.name = "file-" + std::to_string(seed)}, randomBytes(size, seed));
            ++seed;
        }
        SCOPED_TRACE(trace);
        const Extraction x = extractBothForms(archive.indexed());
        EXPECT_EQ(x.status, 0);
        EXPECT_EQ(x.err, "");
        EXPECT_TRUE(x.tar == archive.plain()) << "output of " << x.tar.size() << " bytes, expected "
                                               << archive.plain().size();
    }
}

TEST(ExtractArchive, NextHeaderFollowsTheDataAndItsGap) {
    IndexedArchive archive;
    archive.member({.name = "one"}, "x").member({.name = "block"}, std::string(512, 'b')).member({.name = "last"});
    const Extraction x = extractBothForms(archive.indexed());
    ASSERT_EQ(x.status, 0);
    ASSERT_EQ(x.tar.size(), 7u * kBlockSize);
    EXPECT_EQ(fieldText(blockAt(x.tar, 0), field::name), "one");
    EXPECT_EQ(x.tar[512], 'x');
    EXPECT_TRUE(allZero(x.tar.substr(513, 511)));  // the gap
    EXPECT_EQ(fieldText(blockAt(x.tar, 1024), field::name), "block");
    EXPECT_EQ(x.tar.substr(1536, 512), std::string(512, 'b'));  // no gap
    EXPECT_EQ(fieldText(blockAt(x.tar, 2048), field::name), "last");
    EXPECT_TRUE(allZero(x.tar.substr(2560)));
}

TEST(ExtractArchive, MembersWithoutDataIgnoreTheirDataOffset) {
    // dataOffset of a member of size 0 means nothing: even an offset that
    // could never be reached must not be used.
    IndexedArchive archive;
    archive.member({.name = "dir/", .mode = 0755, .typeflag = '5'})
        .member({.name = "link", .mode = 0777, .typeflag = '2', .linkname = "target"})
        .member({.name = "hard", .typeflag = '1', .linkname = "dir/file"})
        .member({.name = "fifo", .typeflag = '6'})
        .member({.name = "empty"})
        .member({.name = "after"}, "data");
    std::string ktar = archive.indexed();
    for (std::size_t i = 0; i < 5; ++i) {
        editHeader(ktar, archive.indexedOffsetOf(i),
                   [&](HeaderBlock& h) { writeExtensionField(h, kDataOffsetAt, i % 2 ? 0xFFFFFFF0u : 0x7FFFFE00u); });
    }
    const Extraction x = extractBothForms(ktar);
    EXPECT_EQ(x.status, 0);
    EXPECT_EQ(x.err, "");
    EXPECT_TRUE(x.tar == archive.plain());
}

TEST(ExtractArchive, AlignedExecutableComesBackAsRegularFile) {
    IndexedArchive archive;
    const std::string image = "\x7f" "ELF" + randomBytes(9000, 7);
    archive.member({.name = "before"}, "abc")
        .executable({.name = "bin/tool", .mode = 0755}, image)
        .member({.name = "after"}, randomBytes(700, 8));
    const std::string ktar = archive.indexed();
    ASSERT_EQ(typeflagOf(blockAt(ktar, archive.indexedOffsetOf(1))), '7');

    const Extraction x = extractBothForms(ktar);
    ASSERT_EQ(x.status, 0);
    EXPECT_EQ(x.err, "");
    EXPECT_TRUE(x.tar == archive.plain());
    const HeaderBlock header = blockAt(x.tar, archive.plainOffsetOf(1));
    EXPECT_EQ(typeflagOf(header), '0');
    expectPlainHeader(header);
}

TEST(ExtractArchive, OtherTypesAndFieldsAreCarriedThrough) {
    HeaderSpec device{.name = "dev/null", .mode = 0666, .typeflag = '3'};
    HeaderBlock devicePlain = makeHeader(device);
    test::setOctalField(devicePlain, field::devmajor, 1);
    test::setOctalField(devicePlain, field::devminor, 3);
    std::memcpy(devicePlain.data() + field::prefix.offset, "a/prefix/that/is/kept", 21);
    setHeaderChecksum(devicePlain, false);

    IndexedArchive archive;
    archive.member({.name = "pax", .typeflag = 'x'}, "30 mtime=1234567890.123456789\n")
        .rawMember(devicePlain)
        .member({.name = "odd", .mode = 07777, .typeflag = 'Z', .mtime = 0, .uid = 0, .gid = 0}, "odd data")
        .member({.name = "contiguous", .typeflag = '7'}, randomBytes(1000, 9));  // '7' already in the source
    const Extraction x = extractBothForms(archive.indexed());
    EXPECT_EQ(x.status, 0);
    EXPECT_EQ(x.err, "");
    // The member that was of type '7' in a source tar comes back as '0'.
    HeaderBlock contiguous = makeHeader({.name = "contiguous", .size = 1000, .typeflag = '0'});
    std::string expected = archive.plain();
    expected.replace(archive.plainOffsetOf(3), kBlockSize, bytesOf(contiguous));
    EXPECT_TRUE(x.tar == expected);
}

TEST(ExtractArchive, LongNameEntriesAreCopiedWithTheirTextBlocks) {
    const std::string name600 = std::string(599, 'n') + '\0';  // GNU tar counts the NUL
    const std::string extension = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10";
    IndexedArchive archive;
    archive.longName('L', name600, 'Z', extension)  // second block: 88 bytes of text, then garbage
        .member({.name = std::string(100, 'n')}, randomBytes(1500, 11))
        .longName('K', std::string(300, 'k') + '\0')
        .longName('L', std::string(511, 'm') + '\0', '\0')  // exactly one block
        .member({.name = std::string(100, 'm'), .mode = 0777, .typeflag = '2', .linkname = std::string(100, 'k')})
        .longName('L', "")  // size 0: no text block
        .member({.name = "short"}, "tail data");
    const Extraction x = extractBothForms(archive.indexed());
    ASSERT_EQ(x.status, 0);
    EXPECT_EQ(x.err, "");
    EXPECT_TRUE(x.tar == archive.plain());

    const HeaderBlock longHeader = blockAt(x.tar, 0);
    EXPECT_TRUE(hasMagic(longHeader, kPlainMagic));
    EXPECT_EQ(parseOctalField(longHeader, field::chksum), computeHeaderSums(longHeader).unsignedSum);
    EXPECT_EQ(bytesOf(longHeader).substr(field::extension.offset), extension);
    EXPECT_EQ(x.tar.substr(512 + 600, 1024 - 600), std::string(1024 - 600, 'Z'));
    EXPECT_EQ(fieldText(blockAt(x.tar, 1536), field::name), std::string(100, 'n'));
}

TEST(ExtractArchive, ChecksumIsWrittenAsTheUnsignedSum) {
    const struct {
        const char* what;
        std::string name;
        std::optional<std::int64_t> storedDelta;  // from the signed sum; none: unsigned sum stored
        bool warning;
    } cases[] = {
        {"signed sum stored, as creation does", "plain-name", 0, false},
        {"unsigned sum stored", "plain-name", std::nullopt, false},
        // Bytes of 0x80 and above: the signed sum that creation stores is
        // not the unsigned one that must come out.
        {"bytes of 0x80 and above, signed sum stored", "caf\xc3\xa9-\xe2\x82\xac-\xff\x80", 0, false},
        {"bytes of 0x80 and above, unsigned sum stored", "caf\xc3\xa9-\xe2\x82\xac", std::nullopt, false},
        {"CJK name, signed sum stored", "\xe6\x97\xa5\xe6\x9c\xac-\xc3\xa9t\xc3\xa9.txt", 0, false},
        {"checksum off by one", "plain-name", 1, true},
        {"checksum off by minus one", "caf\xc3\xa9", -1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        IndexedArchive archive;
        archive.member({.name = c.name}, "some data").member({.name = "next"}, "more");
        std::string ktar = archive.indexed();
        HeaderBlock header = blockAt(ktar, 0);
        const HeaderSums sums = computeHeaderSums(header);
        const std::int64_t stored = c.storedDelta ? sums.signedSum + *c.storedDelta : sums.unsignedSum;
        test::setOctalField(header, field::chksum, static_cast<std::uint64_t>(stored));
        ktar.replace(0, kBlockSize, bytesOf(header));

        const Extraction x = extractBothForms(ktar);
        EXPECT_EQ(x.status, 0);
        EXPECT_EQ(x.err, c.warning ? kChecksumWarning : "");
        EXPECT_TRUE(x.tar == archive.plain());
        expectPlainHeader(blockAt(x.tar, 0));
    }
}

TEST(ExtractArchive, WarnsOnceForEveryBadChecksum) {
    IndexedArchive archive;
    archive.member({.name = "a"}, "1").member({.name = "b"}, "2").member({.name = "c"}, "3");
    std::string ktar = archive.indexed();
    for (std::size_t i : {0, 2}) {
        HeaderBlock header = blockAt(ktar, archive.indexedOffsetOf(i));
        std::memcpy(header.data() + field::chksum.offset, "bogus\0 ", 8);
        ktar.replace(archive.indexedOffsetOf(i), kBlockSize, bytesOf(header));
    }
    const Extraction x = extractBothForms(ktar);
    EXPECT_EQ(x.status, 0);
    EXPECT_EQ(x.err, kChecksumWarning + kChecksumWarning);
    EXPECT_TRUE(x.tar == archive.plain());
}

// Data out of header order, members sharing their data, and gaps far larger
// than anything buffered: the kgz must give the same tar. Going back in a
// compressed stream must not mean decoding it again from its start each
// time: the bytes decoded for the whole extraction stay within twice the
// stream's length, whatever the offsets.
TEST(ExtractArchive, DataAnywhereInTheDataAreaIsFound) {
    const std::string first = randomBytes(70000, 21);
    const std::string second = randomBytes(5000, 22);
    IndexedArchive shared;
    shared.member({.name = "first"}, first, 3u * 1024 * 1024)
        .member({.name = "second"}, second, 4096)
        .member({.name = "first-again"}, first, 3u * 1024 * 1024)
        .member({.name = "last"}, "end", 8u * 1024 * 1024 + 512)
        .member({.name = "second-again"}, second, 4096);
    // Near the start and 4 MiB on, by turns.
    IndexedArchive alternating;
    for (std::uint32_t i = 0; i < 16; ++i) {
        const std::uint32_t offset = (i % 2 == 0 ? 16384u : 4u * 1024 * 1024) + i * 1024;
        alternating.member({.name = std::string("m").append(std::to_string(i))}, randomBytes(1000, 40 + i), offset);
    }
    IndexedArchive inOrder;
    for (std::uint32_t i = 0; i < 16; ++i) {
        inOrder.member({.name = std::string("m").append(std::to_string(i))}, randomBytes(1000, 60 + i), (i + 1) * 512u * 1024);
    }
    const struct {
        const char* what;
        const IndexedArchive& archive;
    } cases[] = {{"shared data out of order", shared}, {"near and far by turns", alternating}, {"in order", inOrder}};
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string ktar = c.archive.indexed();
        const Extraction x = extractBothForms(ktar);
        EXPECT_EQ(x.status, 0);
        EXPECT_EQ(x.err, "");
        EXPECT_TRUE(x.tar == c.archive.plain());

        writeFile(dir / "in.ktar", ktar);
        shell("gzip -c " + shellQuoted(dir / "in.ktar") + " > " + shellQuoted(dir / "in.kgz"));
        const std::uint64_t before = decodedByteCount();
        ASSERT_EQ(extractArchive((dir / "in.kgz").c_str(), (dir / "out.tar").c_str()), 0);
        EXPECT_LE(decodedByteCount() - before, 2 * ktar.size());
        EXPECT_TRUE(readFile(dir / "out.tar") == c.archive.plain());
    }
}

TEST(ExtractArchive, ReplacesWhatTheDestinationHeld) {
    TempDir dir;
    IndexedArchive archive;
    archive.member({.name = "small"}, "abc");
    writeFile(dir / "in.ktar", archive.indexed());
    writeFile(dir / "out.tar", randomBytes(200000, 5));  // gaps must not show old bytes
    const Extraction x = extractFile(dir / "in.ktar", dir / "out.tar");
    EXPECT_EQ(x.status, 0);
    EXPECT_TRUE(x.tar == archive.plain());
}

// ---------------------------------------------------------------------------
// Damaged and foreign input

struct DamageCase {
    const char* what;
    std::string ktar;
    std::string message;
};

// A failure leaves the destination as it was: here, with earlier content.
void expectFailure(const DamageCase& c) {
    SCOPED_TRACE(c.what);
    const Extraction x = extractBothForms(c.ktar);
    EXPECT_EQ(x.status, 255);
    EXPECT_EQ(x.err, c.message);
    EXPECT_TRUE(x.tar == kEarlierDestination) << "destination of " << x.tar.size() << " bytes";
}

TEST(ExtractArchive, DamagedArchivesStopWithOneMessage) {
    std::vector<DamageCase> cases;
    {
        // No zero block, no data area: every header is written first.
        IndexedArchive archive;
        archive.member({.name = "d/", .typeflag = '5'}).member({.name = "e"}).member({.name = "f", .typeflag = '2'});
        const std::string ktar = archive.indexed();
        cases.push_back({"table without a zero block", ktar.substr(0, 3 * kBlockSize), kReadFailure});
        cases.push_back({"table cut inside a header", ktar.substr(0, 2 * kBlockSize + 100), kReadFailure});
        cases.push_back({"empty file", "", kReadFailure});
    }
    {
        // dataOffset past the end: the seek succeeds, the read fails.
        IndexedArchive archive;
        archive.member({.name = "ok"}, "x").member({.name = "lost"}, randomBytes(1000, 3));
        std::string ktar = archive.indexed();
        editHeader(ktar, kBlockSize, [&](HeaderBlock& h) {
            writeExtensionField(h, kDataOffsetAt, static_cast<std::uint32_t>(ktar.size() + 10 * kBlockSize));
        });
        cases.push_back({"dataOffset past the end", ktar, kReadFailure});
        std::string farAway = archive.indexed();
        editHeader(farAway, kBlockSize, [](HeaderBlock& h) { writeExtensionField(h, kDataOffsetAt, 0x7FFFFE00u); });
        cases.push_back({"dataOffset far past the end", farAway, kReadFailure});
        for (std::uint32_t offset : {0x80000000u, 0x80000200u, 0xFFFFFE00u}) {
            std::string far = archive.indexed();
            editHeader(far, kBlockSize, [&](HeaderBlock& h) { writeExtensionField(h, kDataOffsetAt, offset); });
            cases.push_back({"dataOffset of 2^31 or more", far, kInvalidInput});
        }
        std::string cut = archive.indexed();
        cut.resize(cut.size() - 1);
        cases.push_back({"last data cut short", cut, kReadFailure});
    }
    {
        // A long-name entry whose second text block is missing.
        IndexedArchive archive;
        archive.longName('L', std::string(700, 'q')).member({.name = "q"});
        const std::string ktar = archive.indexed();
        cases.push_back({"long name without its last text block", ktar.substr(0, 2 * kBlockSize), kReadFailure});
    }
    {
        // Sizes that are negative as 32-bit values.
        for (const char* size : {"37777777777", "20000000000", "-0000000001"}) {
            IndexedArchive archive;
            archive.member({.name = "ok"}, "x").member({.name = "bad"}, randomBytes(600, 4));
            std::string ktar = archive.indexed();
            editHeader(ktar, kBlockSize, [&](HeaderBlock& h) {
                std::memset(h.data() + field::size.offset, '\0', field::size.width);
                std::memcpy(h.data() + field::size.offset, size, std::strlen(size));
            });
            cases.push_back({"negative size", ktar, kInvalidInput});
        }
    }
    for (const DamageCase& c : cases) expectFailure(c);
}

// The shared damaged tables that say what extraction gives, in both forms.
TEST(ExtractArchive, DamagedTablesAsTheListingMeetsThem) {
    for (const test::DamagedTable& c : test::damagedTables()) {
        if (c.extractStatus < 0) continue;
        SCOPED_TRACE(c.name);
        const Extraction x = extractBothForms(c.bytes);
        EXPECT_EQ(x.err, c.extractError);
        EXPECT_EQ(x.status, c.extractStatus);
        if (c.extractStatus != 0) {
            EXPECT_TRUE(x.tar == kEarlierDestination);
        }
    }
}

TEST(ExtractArchive, RefusesHeadersWithoutTheIndexedMagic) {
    std::vector<DamageCase> cases;
    {
        std::string tar;
        test::appendBlock(tar, makeHeader({.name = "plain", .size = 3}));
        test::appendPadded(tar, "abc");
        tar += kEndOfArchive;
        cases.push_back({"a plain GNU tar", tar, "invalid kotar magic 'ustar  '\n"});
    }
    {
        HeaderBlock posix = makeHeader({.name = "posix"});
        std::memcpy(posix.data() + field::magic.offset, "ustar\0" "00", 8);
        setHeaderChecksum(posix, false);
        cases.push_back({"a POSIX tar", bytesOf(posix) + kEndOfArchive, "invalid kotar magic 'ustar'\n"});
    }
    {
        // The quoted text stops at the end of the magic field when it has no NUL.
        IndexedArchive archive;
        archive.member({.name = "a"});
        std::string ktar = archive.indexed();
        std::memset(ktar.data() + field::magic.offset, 'M', kBlockSize - field::magic.offset);
        cases.push_back({"no NUL after the magic", ktar,
                         "invalid kotar magic 'MMMMMMMM'\n"});
    }
    {
        // A second header of another kind, after a good member.
        IndexedArchive archive;
        archive.member({.name = "good"}, "data").member({.name = "bad"}, "more");
        std::string ktar = archive.indexed();
        editHeader(ktar, kBlockSize, [](HeaderBlock& h) { storeMagic(h, kPlainMagic); });
        cases.push_back({"plain magic in the second header", ktar, "invalid kotar magic 'ustar  '\n"});
    }
    for (const DamageCase& c : cases) expectFailure(c);
}

TEST(ExtractArchive, EveryTruncationFailsCleanly) {
    IndexedArchive archive;
    archive.member({.name = "dir/", .mode = 0755, .typeflag = '5'})
        .longName('L', std::string(150, 'l') + '\0', 'G')
        .member({.name = std::string(100, 'l')}, randomBytes(700, 31))
        .member({.name = "one"}, "1")
        .executable({.name = "exe", .mode = 0755}, "\x7f" "ELF" + randomBytes(5000, 32))
        .member({.name = "link", .typeflag = '2', .linkname = "one"})
        .member({.name = "block"}, randomBytes(512, 33));
    const std::string ktar = archive.indexed();
    const std::string plain = archive.plain();

    std::set<std::size_t> cuts;
    for (std::size_t at = 0; at < ktar.size(); at += kBlockSize) {
        for (std::size_t delta : {0, 1, 100, 511}) cuts.insert(at + delta);
    }
    cuts.insert(ktar.size() - 1);

    TempDir dir;
    const std::string input = dir / "cut.ktar";
    const std::string output = dir / "out.tar";
    for (std::size_t cut : cuts) {
        if (cut >= ktar.size()) continue;
        SCOPED_TRACE("ktar cut at " + std::to_string(cut));
        writeFile(input, ktar.substr(0, cut));
        const Extraction x = extractFile(input, output);
        EXPECT_EQ(x.status, 255);
        EXPECT_EQ(x.err, kReadFailure);
        EXPECT_FALSE(x.created) << "a destination of " << x.tar.size() << " bytes";
    }

    // The compressed form cut anywhere: zlib delivers what it could inflate.
    writeFile(dir / "full.ktar", ktar);
    shell("gzip -c " + shellQuoted(dir / "full.ktar") + " > " + shellQuoted(dir / "full.kgz"));
    const std::string kgz = readFile(dir / "full.kgz");
    const std::string kgzInput = dir / "cut.kgz";
    for (std::size_t cut = 0; cut < kgz.size(); cut += std::max<std::size_t>(1, kgz.size() / 40)) {
        SCOPED_TRACE("kgz cut at " + std::to_string(cut));
        writeFile(kgzInput, kgz.substr(0, cut));
        const Extraction x = extractFile(kgzInput, output);
        EXPECT_EQ(x.status, 255);
        EXPECT_EQ(x.err, kReadFailure);
        EXPECT_FALSE(x.created) << "a destination of " << x.tar.size() << " bytes";
    }
    for (std::size_t cut : {kgz.size() - 8, kgz.size() - 4, kgz.size() - 1}) {
        // Inside the gzip trailer (CRC and length): the data are all there,
        // but the stream cannot be checked.
        SCOPED_TRACE("kgz cut in its trailer at " + std::to_string(cut));
        writeFile(kgzInput, kgz.substr(0, cut));
        const Extraction x = extractFile(kgzInput, output);
        EXPECT_EQ(x.status, 255);
        EXPECT_EQ(x.err, kReadFailure);
        EXPECT_FALSE(x.created);
    }

    writeFile(input, ktar);
    const Extraction whole = extractFile(input, output);
    EXPECT_EQ(whole.status, 0);
    EXPECT_TRUE(whole.tar == plain);
}

TEST(ExtractArchive, InputFromAPipeInOneForwardPass) {
    // Data in header order converts from a pipe; data that lies behind what
    // has been read cannot be had from one, and is an invalid input.
    IndexedArchive small;
    small.member({.name = "a"}, "first").member({.name = "b"}, randomBytes(3000, 51));
    IndexedArchive large;
    large.member({.name = "a"}, randomBytes(100000, 52))
        .member({.name = "b"}, randomBytes(200000, 53))
        .member({.name = "c"}, "x");
    IndexedArchive backwards;
    backwards.member({.name = "late"}, "late data", 8192).member({.name = "early"}, "early data", 4096);
    const struct {
        const char* what;
        const IndexedArchive& archive;
        std::string err;
    } cases[] = {{"small", small, ""}, {"large", large, ""}, {"data behind", backwards, kInvalidInput}};
    TempDir dir;
    for (const auto& c : cases) {
        writeFile(dir / "in.ktar", c.archive.indexed());
        shell("gzip -c " + shellQuoted(dir / "in.ktar") + " > " + shellQuoted(dir / "in.kgz"));
        for (const char* form : {"in.ktar", "in.kgz"}) {
            SCOPED_TRACE(std::string(c.what) + " " + form);
            writeFile(dir / "out.tar", kEarlierDestination);
            const std::string pipeline = "cat " + shellQuoted(dir / form) + " | " + shellQuoted(test::kotarBinary()) +
                                         " -x /dev/stdin -o " + shellQuoted(dir / "out.tar");
            const CommandResult r = runCommand({"/bin/sh", "-c", pipeline});
            EXPECT_EQ(r.err, c.err);
            EXPECT_EQ(r.status, c.err.empty() ? 0 : 255);
            EXPECT_TRUE(readFile(dir / "out.tar") == (c.err.empty() ? c.archive.plain() : kEarlierDestination));
        }
    }
}

// ---------------------------------------------------------------------------
// Refused destinations and inputs

TEST(ExtractArchive, RefusesToWriteOverItsInput) {
    TempDir dir;
    IndexedArchive archive;
    archive.member({.name = "keep"}, "these bytes");
    const std::string ktar = archive.indexed();
    const std::string input = dir / "in.ktar";
    writeFile(input, ktar);
    ASSERT_EQ(link(input.c_str(), (dir / "hard.ktar").c_str()), 0);
    ASSERT_EQ(symlink(input.c_str(), (dir / "soft.ktar").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);

    for (const std::string& destination :
         {input, dir / "sub/../in.ktar", dir / "hard.ktar", dir / "soft.ktar"}) {
        SCOPED_TRACE(destination);
        const Extraction x = extractFile(input, destination);
        EXPECT_EQ(x.status, 255);
        EXPECT_EQ(x.err, "Unable to open output file: " + destination + "\n");
        EXPECT_TRUE(readFile(input) == ktar) << "input changed";
    }
    // The input given through the link, the destination by its own name.
    const Extraction x = extractFile(dir / "soft.ktar", input);
    EXPECT_EQ(x.status, 255);
    EXPECT_TRUE(readFile(input) == ktar) << "input changed";
}

TEST(ExtractArchive, ReportsFilesThatCannotBeOpened) {
    TempDir dir;
    writeFile(dir / "in.ktar", std::string(kBlockSize, '\0'));
    {
        const std::string missing = dir / "missing.ktar";
        const Extraction x = extractFile(missing, dir / "out.tar");
        EXPECT_EQ(x.status, 255);
        EXPECT_EQ(x.err, "Unable to open input file: " + missing + "\n");
        EXPECT_FALSE(x.created);
    }
    {
        // A folder opens, but cannot be read.
        const Extraction x = extractFile(dir.path(), dir / "out.tar");
        EXPECT_EQ(x.status, 255);
        EXPECT_EQ(x.err, kReadFailure);
    }
    for (const std::string& destination : {dir / "no/such/folder/out.tar", dir.path()}) {
        SCOPED_TRACE(destination);
        const CommandResult r = runKotar({"-x", dir / "in.ktar", "-o", destination});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "Unable to open output file: " + destination + "\n");
    }
}

TEST(ExtractArchive, FullDeviceIsAFailure) {
    IndexedArchive small;
    small.member({.name = "a"}, "abc").member({.name = "b"});
    IndexedArchive large;
    large.member({.name = "big"}, randomBytes(1u << 20, 41)).member({.name = "after"}, "x");
    const struct {
        const char* what;
        std::string ktar;
    } cases[] = {
        {"empty archive", std::string(kBlockSize, '\0')},
        {"small archive", small.indexed()},
        {"member larger than any buffer", large.indexed()},
    };
    const std::set<std::string> writeMessages = {"unable to write output file\n", "unable to write to output file\n",
                                                 "Unable to write to ouput file\n"};
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(dir / "in.ktar", c.ktar);
        const CommandResult r = runKotar({"-x", dir / "in.ktar", "-o", "/dev/full"});
        EXPECT_EQ(r.status, 255);
        EXPECT_TRUE(writeMessages.count(r.err) == 1) << "stderr: " << r.err;
    }
}

// ---------------------------------------------------------------------------
// Round trips through real tools

// The type codes of an indexed archive's header table, in order.
std::string tableTypes(const std::string& ktar) {
    std::string types;
    for (std::size_t at = 0; at + kBlockSize <= ktar.size();) {
        const HeaderBlock header = blockAt(ktar, at);
        if (isZeroBlock(header)) break;
        types += static_cast<char>(typeflagOf(header));
        if (typeflagOf(header) == '7') {
            EXPECT_EQ(readExtensionField(header, kDataOffsetAt) % kPageSize, 0u) << fieldText(header, field::name);
        }
        const std::int32_t size = parseOctalField(header, field::size);
        at += kBlockSize + (isLongNameEntry(header) ? roundUp(size, kBlockSize) : 0);
    }
    return types;
}

// Checks that `extracted` is `source` without its end-of-archive record
// padding: GNU tar fills its last record with zeros, extraction stops after
// the two zero blocks.
void expectSameTarUpToRecordPadding(const std::string& extracted, const std::string& source) {
    ASSERT_GE(extracted.size(), kEndOfArchive.size());
    EXPECT_EQ(extracted.size() % kBlockSize, 0u);
    ASSERT_LE(extracted.size(), source.size());
    EXPECT_TRUE(allZero(extracted.substr(extracted.size() - kEndOfArchive.size())));
    EXPECT_TRUE(allZero(source.substr(extracted.size()))) << "the source holds more than padding";
    if (source.compare(0, extracted.size(), extracted) != 0) {
        const auto mismatch = std::mismatch(extracted.begin(), extracted.end(), source.begin());
        const std::size_t at = static_cast<std::size_t>(mismatch.first - extracted.begin());
        ADD_FAILURE() << "first difference at byte " << at << " (block " << at / kBlockSize << ", offset "
                      << at % kBlockSize << ")";
    }
}

// Lists, extracts and compares `tar` with GNU tar and bsdtar, none of which
// may print a warning; the listings must be those of `source`.
void expectToolsAccept(const std::string& tar, const std::string& source, const std::string& treeParent) {
    for (const std::vector<std::string>& lister : {std::vector<std::string>{"tar", "-tvf"},
                                                   std::vector<std::string>{"bsdtar", "-tvf"}}) {
        SCOPED_TRACE(lister[0]);
        const CommandResult listed = runCommand({lister[0], lister[1], tar});
        const CommandResult original = runCommand({lister[0], lister[1], source});
        EXPECT_EQ(listed.status, 0);
        EXPECT_EQ(listed.err, "");
        EXPECT_EQ(listed.out, original.out);
    }
    TempDir unpack;
    for (const char* tool : {"tar", "bsdtar"}) {
        SCOPED_TRACE(tool);
        const std::string folder = unpack / tool;
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        const CommandResult r = runCommand({tool, "-xf", tar, "-C", folder});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
    const CommandResult compared = runCommand({"tar", "--compare", "-f", tar, "-C", treeParent});
    EXPECT_EQ(compared.status, 0);
    EXPECT_EQ(compared.out + compared.err, "");
}

class ExtractRoundTrip : public testing::Test {
protected:
    struct State {
        TempDir dir;
        std::string sourceTar;
        std::string ktar;
        Extraction fromKtar;
        Extraction fromKgz;
    };

    static void SetUpTestSuite() {
        state_ = new State;
        buildTree(state_->dir);
        const TempDir& dir = state_->dir;
        shell("cd " + shellQuoted(dir.path()) + " && tar --format=gnu -cf source.tar tree");
        const CommandResult created = runKotar({"-c", dir / "source.tar", "-o", dir / "tree.ktar"});
        ASSERT_EQ(created.status, 0) << created.err;
        shell("gzip -c " + shellQuoted(dir / "tree.ktar") + " > " + shellQuoted(dir / "tree.kgz"));
        state_->sourceTar = readFile(dir / "source.tar");
        state_->ktar = readFile(dir / "tree.ktar");
        state_->fromKtar = extractFile(dir / "tree.ktar", dir / "from-ktar.tar");
        state_->fromKgz = extractFile(dir / "tree.kgz", dir / "from-kgz.tar");
    }
    static void TearDownTestSuite() {
        delete state_;
        state_ = nullptr;
    }

    // A tree with files of many sizes, long names and link targets, links,
    // special modes, ELF executables and libraries, and non-ASCII names.
    static void buildTree(const TempDir& dir) {
        const std::string tree = dir / "tree";
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        std::uint32_t seed = 100;
        for (std::size_t size : {0, 1, 511, 512, 513, 1024, 4096, 100000, 300000}) {
            writeFile(tree + "/size-" + std::to_string(size), randomBytes(size, seed++));
        }
        const std::string longName(120, 'n');
        writeFile(tree + "/" + longName, "a file with a long name\n");
        writeFile(tree + "/" + std::string(90, 'd') + "-file", randomBytes(2000, seed++));  // path over 100 bytes
        writeFile(tree + "/na\xc3\xafve-\xc3\xbc-\xe2\x82\xac.txt", "non-ASCII name\n");
        std::string manyHighBytes;
        for (int i = 0; i < 45; ++i) manyHighBytes += "\xc3\xa4";  // enough to turn the signed sum negative
        writeFile(tree + "/" + manyHighBytes, "all high bytes\n");
        writeFile(tree + "/script.sh", "#!/bin/sh\necho hello\n");
        writeFile(tree + "/setuid-script", "#!/bin/sh\nexit 0\n");
        writeFile(tree + "/elf-magic-only", "\x7f" "ELF");
        writeFile(tree + "/elf-three-bytes", "\x7f" "EL");
        writeFile(tree + "/empty-exec", "");
        writeFile(dir / "prog.c",
                  "#include <stdio.h>\n"
                  "static int twice(int x) { return 2 * x; }\n"
                  "static int thrice(int x) { return 3 * x; }\n"
                  "int (*table[])(int) = {twice, thrice};\n"
                  "int main(int argc, char **argv) { (void)argv; printf(\"%d\\n\", table[argc & 1](argc)); }\n");
        writeFile(dir / "lib.c", "int answer(void) { return 42; }\nint (*pointer)(void) = answer;\n");
        const std::string d = shellQuoted(dir.path());
        shell("cd " + d + " && gcc -O2 -o tree/prog prog.c && gcc -O0 -no-pie -o tree/prog-nopie prog.c"
              " && gcc -shared -fPIC -o tree/libexec.so lib.c && gcc -shared -fPIC -o tree/libplain.so lib.c"
              " && cp tree/prog tree/setgid-prog");
        shell("cd " + d + "/tree && chmod 0755 script.sh elf-magic-only elf-three-bytes empty-exec libexec.so"
              " && chmod 0644 libplain.so && chmod 04755 setuid-script && chmod 02755 setgid-prog"
              " && mkdir -p sub/deeper sticky " + std::string(90, 'D') + " && chmod 01777 sticky"
              " && ln -s " + longName + " long-target-link"
              " && ln -s " + longName + " " + std::string(110, 's') +
              " && ln -s size-1 short-link"
              " && ln size-1 hard-link"
              " && ln " + longName + " " + std::string(110, 'h') +
              " && ln prog sub/deeper/prog-hard-link"
              " && mkfifo fifo"
              " && touch -d '2001-02-03 04:05:06' size-1 sub");
    }

    static State* state_;
};

ExtractRoundTrip::State* ExtractRoundTrip::state_ = nullptr;

TEST_F(ExtractRoundTrip, GivesBackTheSourceTar) {
    // The archive must hold what makes the round trip worth doing.
    const std::string types = tableTypes(state_->ktar);
    EXPECT_GE(std::count(types.begin(), types.end(), '7'), 5) << types;
    EXPECT_NE(types.find('K'), std::string::npos) << types;
    EXPECT_NE(types.find("KL"), std::string::npos) << types;
    EXPECT_NE(types.find('1'), std::string::npos) << types;

    for (const Extraction* x : {&state_->fromKtar, &state_->fromKgz}) {
        SCOPED_TRACE(x == &state_->fromKtar ? "ktar" : "kgz");
        EXPECT_EQ(x->status, 0);
        EXPECT_EQ(x->out, "");
        EXPECT_EQ(x->err, "");
        expectSameTarUpToRecordPadding(x->tar, state_->sourceTar);
    }
    EXPECT_TRUE(state_->fromKtar.tar == state_->fromKgz.tar);
}

TEST_F(ExtractRoundTrip, ToolsReadTheResultWithoutComplaint) {
    ASSERT_EQ(state_->fromKtar.status, 0);
    expectToolsAccept(state_->dir / "from-ktar.tar", state_->dir / "source.tar", state_->dir.path());
}

TEST_F(ExtractRoundTrip, RefusesThePlainSourceTar) {
    const std::string destination = state_->dir / "from-plain.tar";
    const Extraction x = extractFile(state_->dir / "source.tar", destination);
    EXPECT_EQ(x.status, 255);
    EXPECT_EQ(x.err, "invalid kotar magic 'ustar  '\n");
    EXPECT_FALSE(x.created);
}

// Large: the whole of /usr/bin (some hundreds of MB, written and read
// several times over; some ten seconds). The ktar form only: compressing it
// would take longer than everything else together.
// GNU tar keeps the map of a sparse file with more than four data regions
// in extension blocks between its header and its data. Every mode must step
// over them as part of the header, plain and compressed.
TEST(SparseRoundTrip, ExtensionBlocksStayWithTheirHeader) {
    TempDir dir;
    std::string make = "cd " + shellQuoted(dir.path()) + " && mkdir src && echo after > src/zz-after";
    for (const int regions : {1, 4, 5, 21, 22, 100}) {
        // `regions` runs of data 64 KiB apart, then a hole to the end.
        const std::string file = "src/r" + std::to_string(regions);
        make += " && truncate -s " + std::to_string((regions + 1) * 65536) + " " + file;
        for (int i = 0; i < regions; ++i) {
            make += " && printf 'region" + std::to_string(i) + "' | dd of=" + file + " bs=1 seek=" +
                    std::to_string(i * 65536 + 100) + " conv=notrunc status=none";
        }
    }
    shell(make + " && tar --format=gnu -S -cf sparse.tar src && gzip -k sparse.tar" +
          " && mkdir original && tar -xf sparse.tar -C original");
    const std::string names = runCommand({"tar", "-tf", dir / "sparse.tar"}).out;

    for (const char* input : {"sparse.tar", "sparse.tar.gz"}) {
        SCOPED_TRACE(input);
        const CommandResult created = runKotar({"-c", dir / input, "-o", dir / "sparse.ktar"});
        ASSERT_EQ(created.status, 0) << created.err;
        const CommandResult listed = runCommand(
            {"/bin/sh", "-c", shellQuoted(test::kotarBinary()) + " -t" + shellQuoted(dir / "sparse.ktar") + " | awk '{print $NF}'"});
        EXPECT_EQ(listed.out, names);
        const Extraction x = extractFile(dir / "sparse.ktar", dir / "back.tar");
        ASSERT_EQ(x.status, 0) << x.err;
        shell("cd " + shellQuoted(dir.path()) + " && rm -rf back && mkdir back && tar -xf back.tar -C back" +
              " && diff -r original back && tar --compare -f back.tar");
    }
}

TEST(ExtractLargeTree, UsrBinComesBackFileForFile) {
    TempDir dir;
    const CommandResult made = runCommand({"tar", "--format=gnu", "-cf", dir / "usr-bin.tar", "-C", "/", "usr/bin"});
    if (made.status != 0) GTEST_SKIP() << "cannot archive /usr/bin: " << made.err;
    const CommandResult created = runKotar({"-c", dir / "usr-bin.tar", "-o", dir / "usr-bin.ktar"});
    ASSERT_EQ(created.status, 0) << created.err;
    const Extraction x = extractFile(dir / "usr-bin.ktar", dir / "out.tar");
    ASSERT_EQ(x.status, 0);
    EXPECT_EQ(x.err, "");
    expectSameTarUpToRecordPadding(x.tar, readFile(dir / "usr-bin.tar"));
    const CommandResult compared = runCommand({"tar", "--compare", "-f", dir / "out.tar", "-C", "/"});
    EXPECT_EQ(compared.status, 0);
    EXPECT_EQ(compared.out + compared.err, "");
}

}  // namespace
}  // namespace kotar
