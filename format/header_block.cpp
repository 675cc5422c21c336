#include "format/header_block.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kotar {

namespace {

// Eight octal digits in the bytes of `word`, the first byte the most
// significant digit: their value, or nullopt when a byte is not a digit.
std::optional<std::uint32_t> eightOctalDigits(std::uint64_t word) {
    constexpr std::uint64_t kZeros = 0x3030303030303030;
    if ((word & 0xF8F8F8F8F8F8F8F8) != kZeros) return std::nullopt;
    std::uint64_t digits = word - kZeros;
    // Adjacent groups combine in place: pairs of digits, then fours, then eight.
    digits = ((digits & 0x00FF00FF00FF00FF) << 3) + ((digits >> 8) & 0x00FF00FF00FF00FF);
    digits = ((digits & 0x0000FFFF0000FFFF) << 6) + ((digits >> 16) & 0x0000FFFF0000FFFF);
    return static_cast<std::uint32_t>(((digits & 0xFFFFFFFF) << 12) + (digits >> 32));
}

bool isOctalDigit(unsigned char byte) { return byte >= '0' && byte <= '7'; }

// The form every writer gives an 8- or 12-byte field: width - 1 octal
// digits, then a byte that is not one. Its value, or nullopt for any other
// form, which the byte-by-byte reading takes.
std::optional<std::uint64_t> fullWidthOctal(const unsigned char* at, std::size_t width) {
    if constexpr (std::endian::native != std::endian::little) return std::nullopt;
    if ((width != 8 && width != 12) || isOctalDigit(at[width - 1])) return std::nullopt;
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    if (width == 8) return eightOctalDigits((word << 8) | '0');  // a leading 0 before the seven
    const std::optional<std::uint32_t> high = eightOctalDigits(word);
    if (!high || !isOctalDigit(at[8]) || !isOctalDigit(at[9]) || !isOctalDigit(at[10])) return std::nullopt;
    return (std::uint64_t{*high} << 9) | static_cast<unsigned>((at[8] - '0') << 6 | (at[9] - '0') << 3 | (at[10] - '0'));
}

// strtoll(text, nullptr, 8) over the field's text, which ends at its first
// NUL or at its edge: leading white space, an optional sign, then octal
// digits up to the first other byte. A value beyond 64 bits saturates as
// strtoll's does.
long long parseWholeField(const HeaderBlock& block, HeaderField field) {
    const unsigned char* at = block.data() + field.offset;
    if (const std::optional<std::uint64_t> value = fullWidthOctal(at, field.width)) {
        return static_cast<long long>(*value);
    }
    const unsigned char* const end = at + field.width;
    const auto isSpace = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (at != end && isSpace(*at)) ++at;
    bool negative = false;
    if (at != end && (*at == '+' || *at == '-')) negative = *at++ == '-';
    constexpr unsigned long long kLargest = static_cast<unsigned long long>(LLONG_MAX);
    unsigned long long value = 0;
    bool saturated = false;
    for (; at != end && *at >= '0' && *at <= '7'; ++at) {
        saturated = saturated || value > (kLargest >> 3);
        value = (value << 3) | static_cast<unsigned>(*at - '0');
    }
    if (saturated || value > kLargest + (negative ? 1 : 0)) return negative ? LLONG_MIN : LLONG_MAX;
    return negative ? static_cast<long long>(0 - value) : static_cast<long long>(value);
}

}  // namespace

std::int32_t parseOctalField(const HeaderBlock& block, HeaderField field) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(parseWholeField(block, field)));
}

namespace detail {

// Octal text ends within its field, so at most 12 digits: 36 bits.
long long parseOctalText(const HeaderBlock& block, HeaderField field) { return parseWholeField(block, field); }

std::optional<std::int64_t> parseBase256Field(const HeaderBlock& block, HeaderField field) {
    const unsigned char* bytes = block.data() + field.offset;
    // The first byte's top bit is the marker, bit 6 the sign.
    const bool negative = (bytes[0] & 0x40) != 0;
    std::uint64_t value = negative ? ~std::uint64_t{0} : 0;
    value = (value << 6) | (bytes[0] & 0x3F);
    for (std::size_t i = 1; i < field.width; ++i) {
        if ((value >> 56) != (negative ? 0xFFu : 0u)) return std::nullopt;  // would lose bits
        value = (value << 8) | bytes[i];
    }
    const auto result = static_cast<std::int64_t>(value);
    if ((result < 0) != negative) return std::nullopt;
    return result;
}

}  // namespace detail

namespace {

// Octal digits in a field: all its bytes but the closing NUL.
bool fitsOctal(HeaderField field, std::int64_t value) {
    const std::size_t bits = (field.width - 1) * 3;  // 21 for ids, 33 for sizes and times
    return value >= 0 && (bits >= 64 || static_cast<std::uint64_t>(value) >> bits == 0);
}

// Base-256 in the bytes after the marker, which alone gives the sign: up
// to 2^56 - 1 in an id, any 64-bit value in a time.
bool fitsBase256(HeaderField field, std::int64_t value) {
    const std::size_t bits = (field.width - 1) * 8;
    if (bits >= 63) return true;
    const std::int64_t limit = std::int64_t{1} << bits;
    return value >= -limit && value < limit;
}

}  // namespace

bool numericFieldHolds(HeaderField field, std::int64_t value) {
    return fitsOctal(field, value) || fitsBase256(field, value);
}

bool storeNumericField(HeaderBlock& block, HeaderField field, std::int64_t value) {
    unsigned char* bytes = block.data() + field.offset;
    if (fitsOctal(field, value)) {
        char text[32];
        std::snprintf(text, sizeof text, "%0*llo", static_cast<int>(field.width - 1),
                      static_cast<unsigned long long>(value));
        std::memcpy(bytes, text, field.width);  // the digits and their NUL
        return true;
    }
    if (!fitsBase256(field, value)) return false;
    auto remaining = static_cast<std::uint64_t>(value);
    for (std::size_t i = field.width; i > 1; --i) {
        bytes[i - 1] = static_cast<unsigned char>(remaining & 0xFF);
        // Arithmetic shift by hand: a negative value's sign bits come in.
        remaining = (remaining >> 8) | (value < 0 ? std::uint64_t{0xFF} << 56 : 0);
    }
    bytes[0] = value < 0 ? 0xFF : 0x80;
    return true;
}

bool octalFieldFits(const HeaderBlock& block, HeaderField field) {
    if ((block[field.offset] & 0x80) != 0) return false;
    const long long value = parseWholeField(block, field);
    return value >= INT32_MIN && value <= INT32_MAX;
}

std::optional<std::uint64_t> memberSize(const HeaderBlock& block) {
    // octalFieldFits and parseOctalField, reading the field once.
    if ((block[field::size.offset] & 0x80) != 0) return std::nullopt;
    const long long size = parseWholeField(block, field::size);
    if (size < 0 || size > INT32_MAX) return std::nullopt;
    return static_cast<std::uint64_t>(size);
}

std::string_view fieldText(const HeaderBlock& block, HeaderField field) {
    const char* text = reinterpret_cast<const char*>(block.data() + field.offset);
    return {text, strnlen(text, field.width)};
}

std::string_view magicText(const HeaderBlock& block) { return fieldText(block, field::magic); }

HeaderSums computeHeaderSums(const HeaderBlock& block) {
    // The unsigned sum, and the count of bytes from 0x80 up, each of which
    // counts 256 less when read signed. The checksum field's bytes then count
    // as spaces.
    std::int32_t unsignedSum = 0;
    std::int32_t high = 0;
#if defined(__SSE2__)
    // psadbw adds eight bytes into a 64-bit lane in one step: the bytes
    // themselves, and their top bits.
    const __m128i zero = _mm_setzero_si128();
    const __m128i lowBit = _mm_set1_epi8(1);
    __m128i sums = zero;
    __m128i highs = zero;
    for (std::size_t at = 0; at < block.size(); at += sizeof(__m128i)) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block.data() + at));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(bytes, zero));
        highs = _mm_add_epi64(highs, _mm_sad_epu8(_mm_and_si128(_mm_srli_epi16(bytes, 7), lowBit), zero));
    }
    unsignedSum = _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums));
    high = _mm_cvtsi128_si32(highs) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(highs, highs));
#else
    for (const unsigned char byte : block) {
        unsignedSum += byte;
        high += byte >> 7;
    }
#endif
    for (std::size_t i = field::chksum.offset; i < field::chksum.offset + field::chksum.width; ++i) {
        unsignedSum += ' ' - block[i];
        high -= block[i] >> 7;
    }
    const std::int32_t signedSum = unsignedSum - 256 * high;
    return HeaderSums{unsignedSum, signedSum};
}

bool verifyHeaderChecksum(const HeaderBlock& block) {
    const std::int32_t stored = parseOctalField(block, field::chksum);
    const HeaderSums sums = computeHeaderSums(block);
    return stored == sums.unsignedSum || stored == sums.signedSum;
}

void setHeaderChecksum(HeaderBlock& block, bool signedSum) {
    unsigned char* chksum = block.data() + field::chksum.offset;
    std::fill_n(chksum, field::chksum.width, ' ');
    const HeaderSums sums = computeHeaderSums(block);
    const std::int32_t sum = signedSum && sums.signedSum >= 0 ? sums.signedSum : sums.unsignedSum;
    char digits[16];  // a block's sum has at most six octal digits
    std::snprintf(digits, sizeof digits, "%06o", static_cast<unsigned>(sum));
    std::memcpy(chksum, digits, 7);  // six digits and a NUL; the eighth byte stays a space
}

bool isZeroBlock(const HeaderBlock& block) {
    return std::all_of(block.begin(), block.end(), [](unsigned char byte) { return byte == 0; });
}

bool hasMagic(const HeaderBlock& block, const Magic& magic) {
    return std::equal(magic.begin(), magic.end(), block.begin() + field::magic.offset);
}

void storeMagic(HeaderBlock& block, const Magic& magic) {
    std::copy(magic.begin(), magic.end(), block.begin() + field::magic.offset);
}

void finishPlainHeader(HeaderBlock& block) {
    storeMagic(block, kPlainMagic);
    setHeaderChecksum(block, false);
}

}  // namespace kotar
