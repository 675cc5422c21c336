#include "decode/deflate_block_finder.h"

#include <algorithm>

#include "decode/deflate_bits.h"
#include "decode/deflate_codes.h"

namespace kotar {

namespace {

// The 17 bits before the code-length code: not final, dynamic, at most 286
// literal and length codes and 30 distance codes.
bool plausibleStart(std::uint64_t word) {
    if ((word & 7) != 4) return false;  // BFINAL 0, BTYPE 10
    return ((word >> 3) & 31) <= 29 && ((word >> 8) & 31) <= 29;
}

// The code-length code, whose `count` lengths are the 3-bit fields of
// `word`, fills its code space exactly.
bool completeLengthCode(unsigned count, std::uint64_t word) {
    unsigned space = 0;
    for (unsigned i = 0; i < count; ++i, word >>= 3) {
        const unsigned length = word & 7;
        if (length != 0) space += 128u >> length;
    }
    return space == 128;
}

}  // namespace

std::optional<std::uint64_t> findDynamicBlock(const unsigned char* bytes, std::size_t size, std::uint64_t from, std::uint64_t to) {
    DeflateBits bits(bytes, size);
    to = std::min(to, bits.sizeInBits());
    BlockCodes codes;
    for (std::uint64_t position = from; position < to; ++position) {
        bits.seek(position);
        const std::uint64_t word = bits.peek();
        if (!plausibleStart(word)) continue;
        // Up to 19 lengths of 3 bits: a peek of their own (57 bits).
        bits.seek(position + 17);
        if (!completeLengthCode(static_cast<unsigned>((word >> 13) & 15) + 4, bits.peek())) continue;
        bits.seek(position + 3);
        if (readDynamicCodes(bits, codes)) return position;
    }
    return std::nullopt;
}

}  // namespace kotar
