// Random access into a gzip-compressed indexed archive (kgz), by
// checkpoints made as reads first reach further into the stream:
//
//   compressed  | member header | deflate data ...............| trailer |
//   stream out  0 ....... C1 ....... C2 ....... C3 ...... (end)
//                         ^ checkpoint every kCheckpointInterval bytes
//
// A checkpoint is ISA-L's inflate state where it stood at that point of the
// output (Huffman tables, bit buffer, the last 32 KiB of output as its
// window, the running CRC), kept without the unused part of the state's
// output buffer, compressed with zstd (about 20 KiB for the 53 KiB it holds
// on executables), with the compressed offset to go on from. A read starts
// from the decoder where it stands when that is at or before the read and
// no further than one interval away, else from the last checkpoint at or
// before it, so that once a read has reached a point, any later read there
// decompresses at most one interval. Members that follow one another (1f 8b
// after a trailer) are one stream; each trailer's CRC is checked.
//
// Damage, once met, is remembered where it stands: a read from there on
// fails at once rather than inflating from the last checkpoint again.
//
// One decoder serves every reader, under a mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kotar {

inline constexpr std::uint64_t kCheckpointInterval = std::uint64_t{4} << 20;

class GzipRandomAccess {
public:
    // Reads the compressed bytes from `descriptor` (not owned, which must
    // outlive this) by position.
    explicit GzipRandomAccess(int descriptor);
    ~GzipRandomAccess();
    GzipRandomAccess(const GzipRandomAccess&) = delete;
    GzipRandomAccess& operator=(const GzipRandomAccess&) = delete;

    enum class Result { done, failed, damaged };

    // Reads up to `count` bytes of the stream from `offset` into `out`;
    // `got` is the number read, fewer only at the end of the stream.
    // `failed`: a read of the file failed; `damaged`: the compressed data is
    // damaged before the bytes asked for (those before it are in `out`), or
    // a member's trailer that the read reaches does not match its bytes.
    Result read(unsigned char* out, std::size_t count, std::uint64_t offset, std::size_t& got);

    // The stream's length once a read has reached its end.
    bool lengthKnown() const;
    std::uint64_t length() const;

    // How many checkpoints there are, and the bytes they hold (compressed).
    std::size_t checkpoints() const;
    std::size_t checkpointBytes() const;

private:
    struct Decoder;
    struct Checkpoint;

    Result restore(std::uint64_t offset);
    Result advance(unsigned char* out, std::size_t capacity, std::size_t& produced);
    void keepCheckpoint();
    Result probeEnd();

    int descriptor_;
    mutable std::mutex mutex_;
    std::unique_ptr<Decoder> decoder_;
    std::vector<Checkpoint> checkpoints_;
    std::vector<unsigned char> lookahead_;  // the bytes just before decoder_->out
    bool ended_ = false;
    std::uint64_t length_ = 0;
    // The first byte of the stream that damage keeps from being read, once
    // met: a read from there fails at once, without inflating up to it again.
    std::uint64_t damagedAt_ = UINT64_MAX;
};

}  // namespace kotar
