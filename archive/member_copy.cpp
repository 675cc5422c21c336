#include "archive/member_copy.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/header_block.h"

namespace kotar {

namespace {

// Copies what it can of `size` bytes inside the kernel, when the input is a
// plain file, and returns how many it copied; the rest is left to the copy
// through memory, which also reports any failure.
std::uint64_t copyInKernel(ArchiveInput& input, OutputFile& output, std::uint64_t size) {
    const int in = input.plainFileDescriptor();
    if (in < 0) return 0;
    const std::int64_t outStart = output.flush() == 0 ? output.tell() : -1;
    struct stat inStat {};
    if (outStart < 0 || fstat(in, &inStat) != 0) return 0;

    // Only whole pieces before the input's end: the copy through memory
    // fails at the piece that the input cannot fill, and writes none of it.
    const std::int64_t inStart = input.tell();
    const std::uint64_t available = inStat.st_size > inStart ? static_cast<std::uint64_t>(inStat.st_size - inStart) : 0;
    const std::uint64_t wanted = size <= available ? size : available / COPY_CHUNK * COPY_CHUNK;

    loff_t inOffset = inStart;
    loff_t outOffset = outStart;
    std::uint64_t copied = 0;
    while (copied < wanted) {
        const ssize_t n = copy_file_range(in, &inOffset, output.descriptor(), &outOffset, wanted - copied, 0);
        if (n > 0) {
            copied += static_cast<std::uint64_t>(n);
        } else if (n == 0 || errno != EINTR) {
            break;  // not supported between these files, or the input shrank
        }
    }
    if (copied > 0) {
        input.seek(inStart + static_cast<std::int64_t>(copied), SEEK_SET);
        if (output.seek(static_cast<std::uint64_t>(outStart) + copied) != 0) return 0;
    }
    return copied;
}

}  // namespace

CopyOutcome copyMemberData(ArchiveInput& input, OutputFile& output, std::uint64_t size) {
    std::uint64_t left = size - copyInKernel(input, output, size);
    unsigned char buffer[COPY_CHUNK];
    while (left > 0) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof buffer));
        if (input.read(buffer, piece) != piece) return CopyOutcome::readFailed;
        if (!output.write(buffer, piece)) return CopyOutcome::writeFailed;
        left -= piece;
    }
    return CopyOutcome::copied;
}

}  // namespace kotar
