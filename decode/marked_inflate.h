// Inflating from a block start in the middle of a deflate stream while the
// 32 KiB of output before it are not known yet. A back-reference into
// them comes out as a mark, kFirstMark plus its place in that window, and
// so does every copy of a mark; resolveMarks() turns the marks into bytes
// once the window is known. As soon as a block ends with 32 KiB of output
// behind it and no mark among them, the rest of the stream no longer
// depends on the unknown window, and a decoder with a preset dictionary
// (ISA-L's) takes over from there.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decode/deflate_bits.h"

namespace kotar {

inline constexpr std::size_t kDeflateWindow = 32768;
inline constexpr std::uint16_t kFirstMark = 256;

enum class MarkedEnd {
    atStop,       // a block ended at the stop position
    windowKnown,  // a block ended with a known window behind it
    budgetSpent,  // a block ended with `budget` symbols or more decoded
    failed,       // damage, the final block, a block across the stop, or no room
};

struct MarkedRun {
    MarkedEnd end;
    std::uint64_t position;  // the bit after the last block decoded
};

// Decodes whole blocks from `bits`' position, appending a symbol per byte
// (a byte, or a mark) to `out`, which holds `length` symbols and room for
// `capacity`, until one of the ends above.
MarkedRun inflateMarked(DeflateBits& bits, std::uint64_t stop, std::size_t budget, std::uint16_t* out, std::size_t capacity,
                        std::size_t& length);

// Writes `count` symbols as bytes to `out`; a mark takes its byte from
// `window`, the `windowSize` bytes of output before (the stream's whole
// output when there are fewer than 32 KiB). False when a mark points
// before the stream's start.
bool resolveMarks(const std::uint16_t* symbols, std::size_t count, const unsigned char* window, std::size_t windowSize,
                  unsigned char* out);

}  // namespace kotar
