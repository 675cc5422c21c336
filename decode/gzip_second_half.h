// GzipSecondHalf: the second half of a gzip member in a regular file,
// decoded on a thread of its own while the gzip decoder goes through the
// first. On that thread:
//
//   search    the first block start after a point near the middle of the
//             input (deflate_block_finder.h)
//   marks     inflated from there while the 32 KiB before it are unknown
//             (marked_inflate.h), until a block ends with all of its last
//             32 KiB known
//   ISA-L     from that block on, with those 32 KiB as its dictionary, to
//             the member's final block; the bytes go to an unlinked file,
//             and the member's trailer is read
//
// Nothing here is trusted. The gzip decoder proves that a block of the
// member really ends at the start found (gzip_decoder.cpp), resolves the
// marks with the bytes before it, and checks the trailer against both
// halves. Whatever fails on this thread (damage, a chance match, no room
// for the marks or the file) leaves the second half to the gzip decoder,
// which goes on alone, as it would have without a split.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "decode/input_source.h"
#include "files/file_descriptor.h"

namespace kotar {

struct GzipTrailer {
    std::uint32_t crc = 0;
    std::uint32_t size = 0;  // the member's length modulo 2^32
};

class GzipSecondHalf {
public:
    // Starts the thread on `source` (a regular file, which must outlive
    // this), searching from `searchFrom` bytes after the stream's start.
    // Null when no thread can be had.
    static std::unique_ptr<GzipSecondHalf> start(InputSource& source, std::int64_t searchFrom);

    // Stops the thread, and waits for it.
    ~GzipSecondHalf();
    GzipSecondHalf(const GzipSecondHalf&) = delete;
    GzipSecondHalf& operator=(const GzipSecondHalf&) = delete;

    // Waits for the search: the bit, from the stream's start, where the
    // second half begins; none when no block start was found.
    std::optional<std::uint64_t> startBit();

    // Waits for the decoding: true when it went to the member's end.
    bool finished();

    // After finished() gave true, the results, left to the caller:
    // - the symbols of the first blocks (marked_inflate.h), up to where the
    //   window became known;
    std::uint16_t* marks() { return marks_.get(); }
    std::size_t markCount() const { return markCount_; }
    // - the bytes decoded after them, at the start of this file;
    int decodedFile() const { return spill_.get(); }
    std::uint64_t decodedLength() const { return decodedLength_; }
    std::uint32_t decodedCrc() const { return decodedCrc_; }
    // - the member's trailer, and the stream offset just after it.
    GzipTrailer trailer() const { return trailer_; }
    std::int64_t memberEnd() const { return memberEnd_; }

private:
    GzipSecondHalf(InputSource& source, std::int64_t searchFrom);
    static void* threadMain(void* self);
    void run();
    std::optional<std::uint64_t> search();
    bool inflateMarks(std::uint64_t from, std::uint64_t& windowKnownAt);
    bool inflateRest(std::uint64_t from);
    bool readTrailer(std::int64_t at);
    bool stopping() const;

    enum class Stage { searching, decoding, finished, failed };
    void reach(Stage stage);

    InputSource& source_;
    const std::int64_t searchFrom_;
    pthread_t thread_{};
    bool started_ = false;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Stage stage_ = Stage::searching;    // under mutex_
    bool stop_ = false;                 // under mutex_
    std::optional<std::uint64_t> startBit_;  // set before the stage leaves `searching`

    std::unique_ptr<std::uint16_t[]> marks_;
    std::size_t markCount_ = 0;
    FileDescriptor spill_;
    std::uint64_t decodedLength_ = 0;
    std::uint32_t decodedCrc_ = 0;
    GzipTrailer trailer_;
    std::int64_t memberEnd_ = 0;
};

// The smallest gzip input worth a second half: KOTAR_GZIP_SPLIT in the
// environment sets it in bytes (the tests split every gzip file with 0),
// else a few MiB.
std::int64_t smallestSplitInput();

}  // namespace kotar
