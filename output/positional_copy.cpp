#include "output/positional_copy.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <vector>

#include "decode/decoding_thread.h"
#include "decode/ring_handoff.h"
#include "files/byte_source.h"
#include "files/write_all.h"
#include "format/indexed_layout.h"

namespace kotar {

namespace {

// The reader stays at most this many chunks ahead of the writer.
constexpr std::size_t kRingChunks = 16;
// A side that waits is woken once this many chunks are ready for it.
constexpr std::size_t kWakeBatch = 4;
static_assert(kWakeBatch <= kRingChunks);
// The scratch file is cut short once this much of it is no longer needed.
constexpr std::uint64_t kReleaseStep = std::uint64_t{4} << 20;

// One pread or pwrite's worth of a piece.
struct Chunk {
    std::size_t piece;
    std::uint64_t start;  // within the piece
    std::size_t size;
};

// Every piece cut into chunks that end on the destination's buffer-size
// boundaries, as copyByPosition cuts them; the last chunk of the last piece
// first.
std::vector<Chunk> chunksLastFirst(std::span<const FileCopy> copies) {
    std::vector<Chunk> chunks;
    for (std::size_t piece = copies.size(); piece-- > 0;) {
        const FileCopy& copy = copies[piece];
        std::uint64_t end = copy.size;
        while (end > 0) {
            const std::uint64_t boundary = (copy.toOffset + end - 1) / kPositionalCopyBuffer * kPositionalCopyBuffer;
            const std::uint64_t start = boundary > copy.toOffset ? boundary - copy.toOffset : 0;
            chunks.push_back({piece, start, static_cast<std::size_t>(end - start)});
            end = start;
        }
    }
    return chunks;
}

// A file that only the copy still needs, cut short behind the reader.
struct ScratchFile {
    int descriptor;
    // Where it may be cut after each chunk is read: the end of its bytes
    // that chunks still to be read hold.
    std::vector<std::uint64_t> neededAfter;
    std::uint64_t kept = 0;  // its length: it is only ever cut shorter
};

std::vector<ScratchFile> scratchFiles(std::span<const FileCopy> copies, const std::vector<Chunk>& chunks,
                                      std::span<const int> descriptors) {
    std::vector<ScratchFile> files;
    for (const int descriptor : descriptors) {
        if (descriptor < 0) continue;
        ScratchFile& file = files.emplace_back(ScratchFile{descriptor, std::vector<std::uint64_t>(chunks.size(), 0)});
        std::uint64_t end = 0;
        for (std::size_t i = chunks.size(); i-- > 0;) {
            file.neededAfter[i] = end;
            const FileCopy& copy = copies[chunks[i].piece];
            if (copy.from == descriptor) end = std::max(end, copy.fromOffset + chunks[i].start + chunks[i].size);
        }
    }
    return files;
}

class TwoThreadCopy {
public:
    TwoThreadCopy(std::span<const FileCopy> copies, int to, std::span<const int> scratch)
        : copies_(copies), to_(to), chunks_(chunksLastFirst(copies)), scratch_(scratchFiles(copies, chunks_, scratch)),
          ring_(kRingChunks, kWakeBatch) {}

    // False when the buffers or the reading thread could not be had.
    bool start() {
        for (Buffer& buffer : buffers_) {
            buffer.bytes = newCopyBuffer();
            if (!buffer.bytes) return false;
        }
        started_ = startSignalFreeThread(reader_, &TwoThreadCopy::readerMain, this);
        return started_;
    }

    CopyOutcome write() {
        for (std::size_t i = 0; i < chunks_.size(); ++i) {
            ring_.waitForFilled(i);
            const Chunk& chunk = chunks_[i];
            const Buffer& buffer = buffers_[i % kRingChunks];
            if (!buffer.read) {
                failed(chunk.piece, CopyOutcome::readFailed);
            } else if (!writeAllAt(to_, buffer.bytes.get(), chunk.size, copies_[chunk.piece].toOffset + chunk.start)) {
                failed(chunk.piece, CopyOutcome::writeFailed);
            }
            ring_.freed(i + 1);
        }
        return outcome_;
    }

    ~TwoThreadCopy() {
        if (started_) pthread_join(reader_, nullptr);
    }

    TwoThreadCopy(const TwoThreadCopy&) = delete;
    TwoThreadCopy& operator=(const TwoThreadCopy&) = delete;

private:
    struct Buffer {
        CopyBuffer bytes;
        bool read = false;  // whether the chunk it holds was read whole
    };

    static void* readerMain(void* self) {
        static_cast<TwoThreadCopy*>(self)->read();
        return nullptr;
    }

    // The reading thread: every chunk into the ring, in turn, cutting the
    // scratch files short behind it every kReleaseStep. A file cut short
    // drops its pages without writing them; punching holes behind a copy
    // that went forward made the copy as much longer as the close saved.
    void read() {
        for (ScratchFile& file : scratch_) {
            struct stat status {};
            if (::fstat(file.descriptor, &status) == 0) file.kept = static_cast<std::uint64_t>(status.st_size);
        }
        for (std::size_t i = 0; i < chunks_.size(); ++i) {
            ring_.waitForRoom(i);
            const Chunk& chunk = chunks_[i];
            const FileCopy& copy = copies_[chunk.piece];
            Buffer& buffer = buffers_[i % kRingChunks];
            buffer.read = FileByteSource(copy.from).readAt(copy.fromOffset + chunk.start, buffer.bytes.get(),
                                                           chunk.size) == chunk.size;
            ring_.filled(i + 1, i + 1 == chunks_.size());
            for (ScratchFile& file : scratch_) {
                const std::uint64_t needed = file.neededAfter[i];
                if (copy.from == file.descriptor && needed + kReleaseStep <= file.kept &&
                    ::ftruncate(file.descriptor, static_cast<off_t>(needed)) == 0) {
                    file.kept = needed;
                }
            }
        }
    }

    void failed(std::size_t piece, CopyOutcome outcome) {
        // Chunks go from the last piece to the first: the latest failure is
        // the first piece's.
        if (piece <= failedPiece_) {
            failedPiece_ = piece;
            outcome_ = outcome;
        }
    }

    const std::span<const FileCopy> copies_;
    const int to_;
    const std::vector<Chunk> chunks_;
    std::vector<ScratchFile> scratch_;  // the reader's alone
    std::array<Buffer, kRingChunks> buffers_;
    RingHandoff ring_;  // the reader fills buffers, the writer frees them
    pthread_t reader_{};
    bool started_ = false;

    // The writer's alone.
    std::size_t failedPiece_ = SIZE_MAX;
    CopyOutcome outcome_ = CopyOutcome::copied;
};

}  // namespace

CopyBuffer newCopyBuffer() {
    return CopyBuffer(static_cast<unsigned char*>(std::aligned_alloc(kPageSize, kPositionalCopyBuffer)));
}

// Through one page-aligned buffer with pread and pwrite. copy_file_range,
// which moves the bytes inside the kernel, measured slower between ext4
// files (44 % more processor time for -c of a plain tar on one CPU: the
// kernel copies page by page through a pipe) and no faster on tmpfs.
//
// The buffer starts on a page, so it lies a multiple of 512 bytes from the
// file pages it is copied from and to: malloc's 16 bytes past a page made
// the kernel's copy from a page-aligned file offset run at less than half
// its speed. Pieces end on the output's buffer-size boundaries: the page
// cache then takes each whole piece in large folios, which measured 10 %
// faster than pieces that merely start on a page.
std::uint64_t copyByPosition(int in, std::uint64_t inStart, int out, std::uint64_t outStart, std::uint64_t size,
                             unsigned char* buffer) {
    std::uint64_t copied = 0;
    while (copied < size) {
        const std::uint64_t toBoundary = kPositionalCopyBuffer - (outStart + copied) % kPositionalCopyBuffer;
        const auto piece = static_cast<std::size_t>(std::min(size - copied, toBoundary));
        const ssize_t got = ::pread(in, buffer, piece, static_cast<off_t>(inStart + copied));
        if (got <= 0) break;
        const ssize_t put =
            ::pwrite(out, buffer, static_cast<std::size_t>(got), static_cast<off_t>(outStart + copied));
        if (put > 0) copied += static_cast<std::uint64_t>(put);
        if (put != got) break;
    }
    return copied;
}

std::optional<CopyOutcome> copyOnTwoThreads(std::span<const FileCopy> copies, int to, std::span<const int> scratch) {
    TwoThreadCopy copy(copies, to, scratch);
    if (!copy.start()) return std::nullopt;
    return copy.write();
}

}  // namespace kotar
