#include "format/header_block.h"
#include "format/indexed_layout.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "tests/support/test_support.h"

namespace kotar {
namespace {

HeaderBlock blockWithField(HeaderField field, const std::string& text) {
    HeaderBlock block{};
    std::memcpy(block.data() + field.offset, text.data(), std::min(text.size(), field.width));
    return block;
}

TEST(ParseOctalField, FollowsStrtollWithinTheField) {
    struct Case {
        std::string text;
        std::int32_t expected;
        HeaderField field = field::size;
    };
    const Case cases[] = {
        {"0000755", 0755},
        {" 755 ", 0755},
        {"   +17", 017},
        {"-1", -1},
        {"", 0},
        {"abc", 0},
        {"12x34", 012},
        {"\t\n\v\f\r7", 07},
        {"+-7", 0},
        {"- 7", 0},
        {"-0", 0},
        {"089", 0},
        {"17777777777", 017777777777},          // 2^31 - 1
        {"20000000000", INT32_MIN},             // 2^31: low 32 bits, as signed
        {"77777777777", -1},                    // 2^33 - 1: low 32 bits all set
        {"0000785", 07, field::mode},           // seven bytes, not all octal
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseOctalField(blockWithField(c.field, c.text), c.field), c.expected);
    }
    // Texts of digits, signs, spaces and NULs, whole fields most of them.
    std::uint32_t seed = 1;
    const auto next = [&seed] { return (seed = seed * 1103515245 + 12345) >> 16; };
    for (int round = 0; round < 20000; ++round) {
        const HeaderField field = round % 2 == 0 ? field::mode : field::size;
        std::string text(field.width, '0');
        const char alphabet[] = "0123456789 +-";
        for (char& c : text) {
            if (next() % 8 == 0) c = next() % 4 == 0 ? '\0' : alphabet[next() % (sizeof alphabet - 1)];
            else c = static_cast<char>('0' + next() % 8);
        }
        if (next() % 2 == 0) text.back() = '\0';
        const std::string within = text.substr(0, text.find('\0'));
        SCOPED_TRACE(within);
        EXPECT_EQ(parseOctalField(blockWithField(field, text), field),
                  static_cast<std::int32_t>(static_cast<std::uint32_t>(std::strtoll(within.c_str(), nullptr, 8))));
    }
}

TEST(ParseNumericField, ReadsOctalAndBase256As64Bits) {
    struct Case {
        const char* what;
        std::string bytes;  // the field's bytes, zero-filled to its width
        std::optional<std::int64_t> expected;
    };
    const std::string minusOne(12, '\xFF');
    const Case cases[] = {
        {"octal past 2^31", "20000000000", std::int64_t{1} << 31},
        {"twelve octal digits", "777777777777", (std::int64_t{1} << 36) - 1},
        {"base-256 positive", std::string("\x80\0\0\0\0\0\0\x01\0\0\0\0", 12), std::int64_t{1} << 32},
        {"base-256 -1", minusOne, -1},
        {"base-256 before 1970", std::string(11, '\xFF') + "\xF0", -16},
        {"base-256 beyond 64 bits", std::string("\x80\x01", 2) + std::string(10, '\0'), std::nullopt},
        {"base-256 sign flips", std::string("\x80\0\0\0\x80", 5) + std::string(7, '\0'), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HeaderBlock block{};
        std::memcpy(block.data() + field::mtime.offset, c.bytes.data(), c.bytes.size());
        EXPECT_EQ(parseNumericField(block, field::mtime), c.expected);
    }
}

TEST(ParseOctalField, StopsAtTheFieldEdgeWhenFilledToItsWidth) {
    HeaderBlock block = blockWithField(field::mode, "77777777");
    std::memcpy(block.data() + field::uid.offset, "7777777", 7);  // digits run on
    EXPECT_EQ(parseOctalField(block, field::mode), 077777777);
}

TEST(HeaderChecksum, AcceptsBothSumsAndRejectsOthers) {
    HeaderBlock block = test::makeHeader({.name = "caf\xc3\xa9-\xe2\x82\xac"});
    const HeaderSums sums = computeHeaderSums(block);
    ASSERT_NE(sums.unsignedSum, sums.signedSum);
    EXPECT_TRUE(verifyHeaderChecksum(block));  // written unsigned

    setHeaderChecksum(block, true);
    EXPECT_EQ(parseOctalField(block, field::chksum), sums.signedSum);
    EXPECT_TRUE(verifyHeaderChecksum(block));

    test::setOctalField(block, field::chksum, static_cast<std::uint64_t>(sums.signedSum + 1));
    EXPECT_FALSE(verifyHeaderChecksum(block));
}

// The sums are taken many bytes at a time; each block here is summed again
// one byte at a time, the checksum field counted as spaces.
TEST(HeaderChecksum, SumsMatchAByteByByteCount) {
    for (const unsigned step : {0u, 7u, 0x80u, 0x7Fu, 0xFFu}) {  // byte i is i * step
        SCOPED_TRACE(step);
        HeaderBlock block;
        for (std::size_t i = 0; i < kBlockSize; ++i) block[i] = static_cast<unsigned char>(i * step);
        std::int32_t unsignedSum = 0;
        std::int32_t signedSum = 0;
        for (std::size_t i = 0; i < kBlockSize; ++i) {
            const bool inChecksum = i >= field::chksum.offset && i < field::chksum.offset + field::chksum.width;
            unsignedSum += inChecksum ? ' ' : block[i];
            signedSum += inChecksum ? ' ' : static_cast<signed char>(block[i]);
        }
        EXPECT_EQ(computeHeaderSums(block).unsignedSum, unsignedSum);
        EXPECT_EQ(computeHeaderSums(block).signedSum, signedSum);
    }
}

TEST(HeaderChecksum, StoresSixDigitsANulAndASpace) {
    HeaderBlock block = test::makeHeader({.name = "file"});
    setHeaderChecksum(block, false);
    const unsigned char* chksum = block.data() + field::chksum.offset;
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(chksum[i] >= '0' && chksum[i] <= '7');
    EXPECT_EQ(chksum[6], '\0');
    EXPECT_EQ(chksum[7], ' ');
    EXPECT_TRUE(verifyHeaderChecksum(block));
}

TEST(HeaderChecksum, LeadingSpaceFormParsesAlike) {
    HeaderBlock block = test::makeHeader({.name = "file"});
    const std::int32_t stored = parseOctalField(block, field::chksum);
    char text[16];
    std::snprintf(text, sizeof text, " %06o ", static_cast<unsigned>(stored));
    std::memcpy(block.data() + field::chksum.offset, text, 8);
    EXPECT_EQ(parseOctalField(block, field::chksum), stored);
    EXPECT_TRUE(verifyHeaderChecksum(block));
}

TEST(HeaderChecksum, NegativeSignedSumStoresTheUnsignedSum) {
    HeaderBlock block;
    block.fill(0xFF);
    ASSERT_LT(computeHeaderSums(block).signedSum, 0);
    setHeaderChecksum(block, true);
    EXPECT_EQ(parseOctalField(block, field::chksum), computeHeaderSums(block).unsignedSum);
    EXPECT_TRUE(verifyHeaderChecksum(block));
}

TEST(HeaderBlock, ZeroBlockIsAllZeros) {
    HeaderBlock block{};
    EXPECT_TRUE(isZeroBlock(block));
    for (const std::size_t at : {std::size_t{0}, std::size_t{1}, kBlockSize - 1}) {
        HeaderBlock touched{};
        touched[at] = 'x';
        EXPECT_FALSE(isZeroBlock(touched)) << at;  // an empty name is still a header
    }
}

TEST(HeaderBlock, MagicTestIsExactOverEightBytes) {
    HeaderBlock block{};
    storeMagic(block, kPlainMagic);
    EXPECT_TRUE(hasMagic(block, kPlainMagic));
    EXPECT_FALSE(hasMagic(block, kIndexedMagic));
    std::memcpy(block.data() + field::magic.offset, "ustar\0" "00", 8);  // POSIX form
    EXPECT_FALSE(hasMagic(block, kPlainMagic));
    EXPECT_EQ(magicText(block), "ustar");
}

TEST(HeaderBlock, MagicTextStopsAtTheFieldEnd) {
    HeaderBlock block;
    block.fill('A');
    EXPECT_EQ(magicText(block), "AAAAAAAA");
}

TEST(HeaderBlock, ExtensionFieldsAreLittleEndian) {
    HeaderBlock block{};
    writeExtensionField(block, kTextPgsAt, 0x04030201);
    EXPECT_EQ(block[kTextPgsAt], 1);
    EXPECT_EQ(block[kTextPgsAt + 3], 4);
    EXPECT_EQ(readExtensionField(block, kTextPgsAt), 0x04030201u);
}

}  // namespace
}  // namespace kotar
