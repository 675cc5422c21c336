// Copying data between plain files by position (pread and pwrite), past any
// stream's buffer: one piece on the caller's thread, or many pieces on
// several threads at once for creation's data area, where the threads share
// nothing but the next slice to take:
//
//   pieces  | member 0 | member 1 ............ | member 2 | ...
//   slices  |    0     |  1  |  2  |  3  |  4 |    5     |      taken in turn
//
// A large piece is cut into slices, so that every thread copies part of a
// large member.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
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

struct FileCopy {
    int from;  // a file to read by position
    std::uint64_t fromOffset;
    std::uint64_t toOffset;  // in the destination
    std::uint64_t size;
};

// Copies every piece of `copies` into the file `to` on `threads` threads
// (the caller's among them). Returns the index of the first piece that was
// not copied whole, or copies.size() when every one was. Pieces after that
// one may have been copied too; the caller copies again from it, and
// reports what fails.
std::size_t copyOnThreads(std::span<const FileCopy> copies, int to, int threads);

}  // namespace kotar
