#include "output/member_copy.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "files/byte_source.h"
#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "output/positional_copy.h"

namespace kotar {

namespace {

// Data lent by the input is taken at most this much at a time.
constexpr std::size_t kLargestLend = 1024 * 1024;

// A copy between files tells the input how far it has gone every this many
// bytes, so that the progress line follows a large member.
constexpr std::uint64_t kProgressSlice = 32 * kPositionalCopyBuffer;

}  // namespace

// Copies what it can of `size` bytes at `inStart` in the plain file `in`
// straight to the output's file, and returns how many it copied; the rest
// is left to the copy through the output's buffer, which also reports any
// failure. `cameShort`: fewer bytes were copied than were tried. `input`,
// when given, is the input whose file `in` is, told of the bytes copied.
std::uint64_t MemberCopier::copyBetweenFiles(int in, std::uint64_t inStart, OutputFile& output, std::uint64_t size,
                                             bool& cameShort, ArchiveInput* input) {
    cameShort = false;
    const std::uint64_t outStart = output.tell();
    struct stat inStat {};
    if (in < 0 || output.descriptor() < 0 || output.flush() != 0 || fstat(in, &inStat) != 0) return 0;

    // Only whole pieces before the input's end: the copy through the
    // buffers fails at the piece that the input cannot fill, and writes
    // none of it.
    const auto inSize = static_cast<std::uint64_t>(inStat.st_size);
    const std::uint64_t available = inSize > inStart ? inSize - inStart : 0;
    const std::uint64_t wanted = size <= available ? size : available / kCopyChunk * kCopyChunk;

    // In slices that end on the output's piece boundaries, as the pieces
    // of one copy would.
    std::uint64_t copied = 0;
    while (copied < wanted) {
        const std::uint64_t slice =
            std::min(wanted - copied, kProgressSlice - (outStart + copied) % kPositionalCopyBuffer);
        const std::uint64_t done =
            copyThroughBuffer(in, inStart + copied, output.descriptor(), outStart + copied, slice);
        copied += done;
        if (input != nullptr) input->copiedAhead(copied);
        if (done < slice) break;
    }
    cameShort = copied < wanted;
    if (copied > 0 && output.seek(outStart + copied) != 0) return 0;
    return copied;
}

// Between plain files, data moves in large pieces straight from file to
// file, past both the input's window and the output's buffer.
std::uint64_t MemberCopier::copyThroughBuffer(int in, std::uint64_t inStart, int out, std::uint64_t outStart,
                                              std::uint64_t size) {
    if (!fileBuffer_) fileBuffer_ = newCopyBuffer();
    if (!fileBuffer_) return 0;
    return copyByPosition(in, inStart, out, outStart, size, fileBuffer_.get());
}

// After a copy between files that came short (a full disk, most likely),
// the rest went to the output's buffer, where a failed write would show
// only at a later write or at the close: it is pushed out now, so that the
// member's copy fails as it does without the buffer.
CopyOutcome MemberCopier::flushedAfterShortCopy(OutputFile& output, bool cameShort) {
    return cameShort && output.flush() != 0 ? CopyOutcome::writeFailed : CopyOutcome::copied;
}

CopyOutcome MemberCopier::copy(ArchiveInput& input, OutputFile& output, std::uint64_t size) {
    const int in = input.plainFileDescriptor();
    bool cameShort = false;
    const std::uint64_t copied =
        in < 0 ? 0 : copyBetweenFiles(in, static_cast<std::uint64_t>(input.tell()), output, size, cameShort, &input);
    if (copied > 0) input.seek(input.tell() + static_cast<std::int64_t>(copied), SEEK_SET);
    // The rest is written from where the input holds it, in whole pieces:
    // a piece's bytes that are lent before the stream fails are held back
    // here, and never written.
    std::uint64_t left = size - copied;
    unsigned char partial[kCopyChunk];
    std::size_t partialLength = 0;
    while (left > 0) {
        const unsigned char* bytes = nullptr;
        std::size_t got = input.view(static_cast<std::size_t>(std::min<std::uint64_t>(left, kLargestLend)), bytes);
        if (got == 0) return CopyOutcome::readFailed;
        left -= got;
        if (partialLength > 0) {
            const std::size_t taken = std::min(got, kCopyChunk - partialLength);
            std::memcpy(partial + partialLength, bytes, taken);
            partialLength += taken;
            bytes += taken;
            got -= taken;
            if (partialLength < kCopyChunk && left > 0) continue;
            if (!output.write(partial, partialLength)) return CopyOutcome::writeFailed;
            partialLength = 0;
        }
        const std::size_t whole = left == 0 ? got : got / kCopyChunk * kCopyChunk;
        if (whole > 0 && !output.write(bytes, whole)) return CopyOutcome::writeFailed;
        partialLength = got - whole;
        std::memcpy(partial, bytes + whole, partialLength);
    }
    return flushedAfterShortCopy(output, cameShort);
}

CopyOutcome MemberCopier::copyFromFile(int descriptor, std::uint64_t offset, OutputFile& output, std::uint64_t size) {
    bool cameShort = false;
    const std::uint64_t copied = copyBetweenFiles(descriptor, offset, output, size, cameShort);
    const FileByteSource source(descriptor);
    unsigned char buffer[kCopyChunk];
    for (std::uint64_t done = copied; done < size;) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, sizeof buffer));
        if (source.readAt(offset + done, buffer, piece) != piece) return CopyOutcome::readFailed;
        if (!output.write(buffer, piece)) return CopyOutcome::writeFailed;
        done += piece;
    }
    return flushedAfterShortCopy(output, cameShort);
}

}  // namespace kotar
