// Copying data between plain files by position (pread and pwrite), past any
// stream's buffer: one piece on the caller's thread, or many pieces on two
// threads for creation's data area, last piece first:
//
//   pieces    | member 0 | member 1 ............ | member 2 |
//   chunks    |    5     |  4  |  3  |  2  |  1  |    0     |   in this order
//   reader    pread each chunk into a ring of buffers; cut the scratch
//             files short behind it
//   writer    pwrite each buffer at its place
//
// One thread writes, so that the destination's inode lock is never fought
// over; going from the end lets the reader free the temporary copy of the
// input as it goes, on the other processor, rather than all at its close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>

namespace kotar {

// The size of the buffer that copyByPosition takes: page-aligned, it must
// start on a page.
inline constexpr std::size_t kPositionalCopyBuffer = 256 * 1024;

// A buffer for copyByPosition: null when there is no memory.
struct FreeCopyBuffer {
    void operator()(unsigned char* bytes) const { std::free(bytes); }
};
using CopyBuffer = std::unique_ptr<unsigned char, FreeCopyBuffer>;
CopyBuffer newCopyBuffer();

// Copies `size` bytes at `inStart` of `in` to `outStart` of `out` through
// `buffer`, and returns how many were copied: fewer when a read or a write
// fell short or failed.
std::uint64_t copyByPosition(int in, std::uint64_t inStart, int out, std::uint64_t outStart, std::uint64_t size,
                             unsigned char* buffer);

enum class CopyOutcome { copied, readFailed, writeFailed };

struct FileCopy {
    int from;  // a file to read by position
    std::uint64_t fromOffset;
    std::uint64_t toOffset;  // in the destination
    std::uint64_t size;
};

// Copies every piece of `copies` into the file `to` on two threads (the
// caller's among them), last chunk first. `scratch` holds files that only
// these pieces still need (-1 for none): once a chunk of one has been read,
// it is cut short down to what pieces not yet read hold, and its bytes
// beyond that are gone.
//
// Every piece is tried; the outcome is that of the first piece, in order,
// that could not be copied whole (a short read or a failed write), as a copy
// from the first piece on would have found. Empty when the two threads
// could not be had; nothing was copied or cut, and the caller copies in
// turn.
std::optional<CopyOutcome> copyOnTwoThreads(std::span<const FileCopy> copies, int to, std::span<const int> scratch);

}  // namespace kotar
