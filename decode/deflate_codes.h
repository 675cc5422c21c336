// The Huffman codes of a deflate block and the header that carries them,
// for the decoders that start in the middle of a stream (the segments of a
// gzip member decoded on two threads). They accept only what a sound
// encoder writes: every code complete, except a distance code of one
// symbol or none. Whatever they refuse goes to ISA-L, which judges it as
// it would from the stream's start.
#pragma once

#include <cstdint>
#include <vector>

#include "decode/deflate_bits.h"

namespace kotar {

// One Huffman code as a table indexed by the next bits of the stream: up
// to 11 bits, so that it stays in the first-level cache; the rare longer
// codes are looked up by walking the canonical code.
class HuffmanTable {
public:
    // From the code length of each symbol (0: not in the code). False for a
    // code that is over-subscribed, or incomplete where not allowed.
    bool build(const std::uint8_t* lengths, unsigned count, bool oneOrNoneAllowed);

    // The entry for the code at the start of `bits`: symbol << 4 | length,
    // 0 for bits that are no code.
    std::uint16_t lookup(std::uint64_t bits) const {
        const std::uint16_t entry = table_[bits & mask_];
        return entry != kLonger ? entry : longerCode(bits);
    }

    // The next symbol, consumed; -1 for bits that are no code.
    int decode(DeflateBits& bits) const {
        const std::uint16_t entry = lookup(bits.peek());
        if (entry == 0) return -1;
        bits.skip(entry & 15u);
        return entry >> 4;
    }

private:
    static constexpr std::uint16_t kLonger = 0xffff;  // a code longer than the table
    std::uint16_t longerCode(std::uint64_t bits) const;

    std::vector<std::uint16_t> table_;
    std::uint64_t mask_ = 0;
    std::uint16_t perLength_[16] = {};
    std::vector<std::uint16_t> byCode_;  // the symbols in the code's order
};

inline constexpr int kEndOfBlock = 256;

// The two codes of a block.
struct BlockCodes {
    HuffmanTable literals;   // literals, the end of the block, and lengths
    HuffmanTable distances;
};

enum class BlockType : std::uint8_t { stored = 0, fixed = 1, dynamic = 2, invalid = 3 };

// Reads the codes of a dynamic block from `bits`, placed just after the
// block's three header bits. False for a header that no sound encoder
// writes, with `bits` anywhere.
bool readDynamicCodes(DeflateBits& bits, BlockCodes& codes);

// The codes of a fixed block, built once.
const BlockCodes& fixedCodes();

// The lengths and distances of deflate: a base and a count of extra bits
// for each length symbol (257..285) and distance symbol (0..29).
struct CodeBase {
    std::uint16_t base;
    std::uint8_t extraBits;
};
extern const CodeBase kLengthBases[29];
extern const CodeBase kDistanceBases[30];

}  // namespace kotar
