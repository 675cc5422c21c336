#include "decode/deflate_codes.h"

#include <algorithm>
#include <array>

namespace kotar {

namespace {

constexpr unsigned kLongestCode = 15;

// The order in which a dynamic header gives the code lengths of the
// code-length code.
constexpr std::array<std::uint8_t, 19> kCodeLengthOrder = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

std::uint32_t reversed(std::uint32_t code, unsigned length) {
    std::uint32_t result = 0;
    for (unsigned i = 0; i < length; ++i) {
        result = (result << 1) | (code & 1);
        code >>= 1;
    }
    return result;
}

}  // namespace

const CodeBase kLengthBases[29] = {
    {3, 0},  {4, 0},  {5, 0},  {6, 0},  {7, 0},  {8, 0},  {9, 0},  {10, 0},  {11, 1},  {13, 1},
    {15, 1}, {17, 1}, {19, 2}, {23, 2}, {27, 2}, {31, 2}, {35, 3}, {43, 3},  {51, 3},  {59, 3},
    {67, 4}, {83, 4}, {99, 4}, {115, 4}, {131, 5}, {163, 5}, {195, 5}, {227, 5}, {258, 0}};

const CodeBase kDistanceBases[30] = {
    {1, 0},     {2, 0},     {3, 0},     {4, 0},     {5, 1},     {7, 1},     {9, 2},      {13, 2},
    {17, 3},    {25, 3},    {33, 4},    {49, 4},    {65, 5},    {97, 5},    {129, 6},    {193, 6},
    {257, 7},   {385, 7},   {513, 8},   {769, 8},   {1025, 9},  {1537, 9},  {2049, 10},  {3073, 10},
    {4097, 11}, {6145, 11}, {8193, 12}, {12289, 12}, {16385, 13}, {24577, 13}};

bool HuffmanTable::build(const std::uint8_t* lengths, unsigned count, bool oneOrNoneAllowed) {
    constexpr unsigned kTableBits = 11;
    std::array<unsigned, kLongestCode + 1> perLength{};
    unsigned longest = 1;
    for (unsigned symbol = 0; symbol < count; ++symbol) {
        ++perLength[lengths[symbol]];
        longest = std::max<unsigned>(longest, lengths[symbol]);
    }
    perLength[0] = 0;
    // Kraft: the codes must fill the code space exactly.
    std::int64_t left = 1;
    for (unsigned length = 1; length <= kLongestCode; ++length) {
        left = left * 2 - perLength[length];
        if (left < 0) return false;
    }
    const unsigned used = count - static_cast<unsigned>(std::count(lengths, lengths + count, 0));
    if (left > 0 && !(oneOrNoneAllowed && (used == 0 || (used == 1 && perLength[1] == 1)))) return false;

    std::array<std::uint32_t, kLongestCode + 2> next{};
    std::array<std::uint32_t, kLongestCode + 2> firstIndex{};
    for (unsigned length = 1; length <= kLongestCode; ++length) {
        next[length + 1] = (next[length] + perLength[length]) << 1;
        firstIndex[length + 1] = firstIndex[length] + perLength[length];
        perLength_[length] = static_cast<std::uint16_t>(perLength[length]);
    }
    const unsigned tableBits = std::min(longest, kTableBits);
    table_.assign(std::size_t{1} << tableBits, 0);
    mask_ = (std::uint64_t{1} << tableBits) - 1;
    byCode_.assign(used, 0);
    for (unsigned symbol = 0; symbol < count; ++symbol) {
        const unsigned length = lengths[symbol];
        if (length == 0) continue;
        byCode_[firstIndex[length]++] = static_cast<std::uint16_t>(symbol);
        const std::uint32_t code = reversed(next[length]++, length);
        const std::uint16_t entry = length <= tableBits ? static_cast<std::uint16_t>(symbol << 4 | length) : kLonger;
        const unsigned step = std::min(length, tableBits);
        for (std::size_t index = code & mask_; index < table_.size(); index += std::size_t{1} << step) table_[index] = entry;
    }
    return true;
}

std::uint16_t HuffmanTable::longerCode(std::uint64_t bits) const {
    // Canonical codes of one length are consecutive numbers, read from the
    // stream most significant bit first.
    std::uint32_t code = 0;
    std::uint32_t first = 0;
    std::uint32_t index = 0;
    for (unsigned length = 1; length <= kLongestCode; ++length) {
        code |= (bits >> (length - 1)) & 1;
        const std::uint32_t here = perLength_[length];
        if (code - first < here) return static_cast<std::uint16_t>(byCode_[index + code - first] << 4 | length);
        index += here;
        first = (first + here) << 1;
        code <<= 1;
    }
    return 0;
}

bool readDynamicCodes(DeflateBits& bits, BlockCodes& codes) {
    const unsigned literalCount = bits.take(5) + 257;
    const unsigned distanceCount = bits.take(5) + 1;
    const unsigned lengthCodeCount = bits.take(4) + 4;
    if (literalCount > 286 || distanceCount > 30) return false;

    std::array<std::uint8_t, 19> lengthCodeLengths{};
    for (unsigned i = 0; i < lengthCodeCount; ++i) lengthCodeLengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(bits.take(3));
    HuffmanTable lengthCode;
    if (!lengthCode.build(lengthCodeLengths.data(), 19, false)) return false;

    std::array<std::uint8_t, 286 + 30> lengths{};
    const unsigned total = literalCount + distanceCount;
    for (unsigned i = 0; i < total;) {
        const int symbol = lengthCode.decode(bits);
        if (symbol < 0) return false;
        if (symbol < 16) {
            lengths[i++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint8_t repeated = 0;
        unsigned times = 0;
        if (symbol == 16) {
            if (i == 0) return false;
            repeated = lengths[i - 1];
            times = 3 + bits.take(2);
        } else {
            times = symbol == 17 ? 3 + bits.take(3) : 11 + bits.take(7);
        }
        if (i + times > total) return false;
        std::fill_n(lengths.begin() + i, times, repeated);
        i += times;
    }
    if (lengths[kEndOfBlock] == 0 || bits.overrun()) return false;
    return codes.literals.build(lengths.data(), literalCount, false) &&
           codes.distances.build(lengths.data() + literalCount, distanceCount, true);
}

const BlockCodes& fixedCodes() {
    static const BlockCodes codes = [] {
        BlockCodes built;
        std::array<std::uint8_t, 288> literals{};
        std::fill(literals.begin(), literals.begin() + 144, 8);
        std::fill(literals.begin() + 144, literals.begin() + 256, 9);
        std::fill(literals.begin() + 256, literals.begin() + 280, 7);
        std::fill(literals.begin() + 280, literals.end(), 8);
        std::array<std::uint8_t, 32> distances{};
        distances.fill(5);
        built.literals.build(literals.data(), 288, false);
        built.distances.build(distances.data(), 32, false);
        return built;
    }();
    return codes;
}

}  // namespace kotar
