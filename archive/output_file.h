// OutputFile: the destination of creation and extraction, an uncompressed
// file written with absolute positioning. Regions that are skipped over are
// never written and read back as zeros. Every operation reports failure,
// closing included: a full disk must never pass for success. The bytes go
// to a StagedDestination, so the destination changes only when close()
// succeeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "archive/staged_destination.h"

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
    // True when all `count` bytes were accepted.
    bool write(const void* bytes, std::size_t count);
    // Pushes buffered bytes to the file; 0 on success, -1 on failure.
    int flush();
    // Flushes, closes and puts the destination in place; 0 on success, -1
    // on failure, after which the destination is as it was before open().
    int close();

    // The position where the next write goes; -1 on failure.
    std::int64_t tell();
    // The file's descriptor, for writes that bypass the buffer (flush first).
    int descriptor() const;

    // A descriptor from which written (and flushed) bytes can be read back
    // with pread, opened on first use; -1 when the file cannot be read.
    int readBackDescriptor();

private:
    StagedDestination staged_;        // outlives file_, whose bytes it holds
    std::unique_ptr<char[]> buffer_;  // outlives file_, which uses it
    std::FILE* file_ = nullptr;
    int readBack_ = -1;
};

// True when both paths name the same existing file (through links too).
bool isSameFile(const char* first, const char* second);

}  // namespace kotar
