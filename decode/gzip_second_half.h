// GzipSecondHalf: the second part of a gzip member in a regular file,
// decoded on a thread of its own while the gzip decoder goes through the
// first. On that thread:
//
//   search    the first block start after a point in the input
//             (deflate_block_finder.h)
//   marks     inflated from there while the 32 KiB before it are unknown
//             (marked_inflate.h), until a block ends with all of its last
//             32 KiB known
//   ISA-L     from that block on, with those 32 KiB as its dictionary, to
//             the member's final block; the bytes go to an unlinked file,
//             which the gzip decoder reads as they come, and the member's
//             trailer is read
//
// Nothing here is trusted. The gzip decoder proves that a block of the
// member really ends at the start found (gzip_split.h), resolves the marks
// with the bytes before it, and checks the trailer against both parts.
// Whatever fails on this thread before the marks are done (a chance match,
// no room for the marks) leaves the second part to the gzip decoder, which
// goes on alone from its own state. Whatever fails after (damage, a cut,
// no room for the file) stops this thread after the last bytes it wrote,
// and the gzip decoder goes on from ISA-L's state as it stood there.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <isa-l/igzip_lib.h>

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
    // this), searching from `searchFrom` bytes after the stream's start;
    // its file goes in `workDirectory` (openAnonymousFile). Null when no
    // thread can be had.
    static std::unique_ptr<GzipSecondHalf> start(InputSource& source, std::int64_t searchFrom,
                                                 const std::string& workDirectory);

    // Stops the thread, and waits for it.
    ~GzipSecondHalf();
    GzipSecondHalf(const GzipSecondHalf&) = delete;
    GzipSecondHalf& operator=(const GzipSecondHalf&) = delete;

    // Waits for the search: the bit, from the stream's start, where the
    // second part begins; none when no block start was found.
    std::optional<std::uint64_t> startBit();

    // Waits for the marks: false when the second part failed before they
    // were done. Then the symbols of its first blocks (marked_inflate.h),
    // up to where the window became known, are the caller's.
    bool marksDone();
    std::uint16_t* marks() { return marks_.get(); }
    std::size_t markCount() const { return markCount_; }

    enum class Outcome { going, finished, failed };
    struct Progress {
        std::uint64_t written;  // bytes after the marks, in decodedFile() from its start
        Outcome outcome;
    };
    // After marksDone(): waits until more than `delivered` bytes are written,
    // or the decoding has ended.
    Progress waitPast(std::uint64_t delivered);
    int decodedFile() const { return spill_.get(); }

    // After `finished`: the CRC-32 of the bytes written, the member's
    // trailer, and the stream offset just after it.
    std::uint32_t writtenCrc() const { return lastCrc_; }
    GzipTrailer trailer() const { return trailer_; }
    std::int64_t memberEnd() const { return memberEnd_; }

    // After `failed`: ISA-L's state just after the last bytes written (the
    // CRC-32 above is theirs), and the stream offset of its next input byte.
    const inflate_state& lastState() const { return *lastState_; }
    std::int64_t lastInput() const { return lastInput_; }

private:
    GzipSecondHalf(InputSource& source, std::int64_t searchFrom, const std::string& workDirectory);
    static void* threadMain(void* self);
    void run();
    std::optional<std::uint64_t> search();
    bool inflateMarks(std::uint64_t from, std::uint64_t& windowKnownAt);
    bool startInflate(std::uint64_t from, inflate_state& state, std::int64_t& input);
    bool inflateRest(inflate_state& state, std::int64_t input);
    void record(const inflate_state& state, std::int64_t input, std::uint64_t written, std::uint32_t crc);
    bool readTrailer(std::int64_t at);
    bool stopping() const;

    enum class Stage { searching, marking, writing, finished, failed };
    void reach(Stage stage);

    InputSource& source_;
    const std::int64_t searchFrom_;
    const std::string workDirectory_;
    pthread_t thread_{};
    bool started_ = false;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // Under mutex_ once the stage is `writing`; before, set by the thread
    // ahead of the stage that shows them.
    Stage stage_ = Stage::searching;
    bool stop_ = false;
    bool marksDone_ = false;
    std::optional<std::uint64_t> startBit_;
    std::unique_ptr<std::uint16_t[]> marks_;
    std::size_t markCount_ = 0;
    FileDescriptor spill_;
    std::unique_ptr<inflate_state> lastState_;  // as it stood after lastWritten_ bytes
    std::int64_t lastInput_ = 0;
    std::uint64_t lastWritten_ = 0;
    std::uint32_t lastCrc_ = 0;
    GzipTrailer trailer_;
    std::int64_t memberEnd_ = 0;
};

}  // namespace kotar
