// OutputFile: the destination of creation and extraction, an uncompressed
// file written with absolute positioning. In a regular file, regions that
// are skipped over are never written and read back as zeros; anything else
// (a device, a FIFO) is written front to back, the gaps as zeros. Every
// operation reports failure, closing included: a full disk must never pass
// for success. The bytes go to a StagedDestination, so the destination
// changes only when close() succeeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "output/staged_destination.h"

namespace kotar {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Starts writing the destination. 0 on success, -1 on failure.
    int open(const char* path);

    // 0 on success, -1 on failure.
    int seek(std::uint64_t position);
    // Moves forward to `position`, over a gap that reads as zeros: by a seek
    // where the destination can be positioned, else by writing zeros.
    // 0 on success, -1 on failure.
    int padTo(std::uint64_t position);
    // True when all `count` bytes were accepted.
    bool write(const void* bytes, std::size_t count);
    // Pushes buffered bytes to the file; 0 on success, -1 on failure.
    int flush();
    // Flushes, closes and puts the destination in place; 0 on success, -1
    // on failure, after which the destination is as it was before open().
    int close();

    // The position where the next write goes.
    std::uint64_t tell() const { return position_; }
    // The file's descriptor, for writes that bypass the buffer (flush first),
    // or -1 when the file must only be written in order.
    int descriptor() const;

private:
    StagedDestination staged_;        // outlives file_, whose bytes it holds
    std::unique_ptr<char[]> buffer_;  // outlives file_, which uses it
    std::FILE* file_ = nullptr;
    std::uint64_t position_ = 0;
    bool seekable_ = true;
};

}  // namespace kotar
