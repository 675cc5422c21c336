// GzipSplit: a gzip member of a regular file decoded in two parts at once,
// as the gzip decoder sees it. The decoder inflates the first part itself
// and a GzipSecondHalf thread the second:
//
//   inputRoom()   the decoder feeds ISA-L no further than the second part's
//                 start (waiting for the search when it gets there first)
//   decoded()     it shows the split its output near that start, for the
//                 32 KiB window that the second part's marks refer to
//   takeOver()    there, with its output drained: the proof that a block
//                 of the member ends at that very bit (a copy of ISA-L's
//                 state is given the rest of that byte and a final block
//                 of its own, which it must end exactly where that block
//                 does), then the second part's marks, resolved
//   deliver()     then the bytes after the start, in order, as the second
//                 part writes them, and the check of both parts against
//                 the member's trailer
//
// Until takeOver() succeeds nothing of the second part is delivered, and
// the decoder's own state is untouched: when anything fails, the decoder
// drops the split and goes on alone from where it stands. Should the second
// part stop later (damage, a cut, a full disk), deliver() says so after
// its last bytes, and resume() hands the decoder ISA-L's state as it stood
// there, so that damage is found and reported exactly as without a split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <isa-l/igzip_lib.h>

#include "decode/gzip_second_half.h"
#include "decode/input_source.h"

namespace kotar {

// How many gzip members the process has had decoded in two parts: for the
// tests, which must see it happen.
std::uint64_t gzipMembersSplit();

class GzipSplit {
public:
    // For the member whose deflate data starts `deflateStart` bytes into
    // `source` (which must outlive this), the second part's file going in
    // `workDirectory`: null when the input is no regular file, is too short
    // to be worth it, or no thread can be had.
    static std::unique_ptr<GzipSplit> start(InputSource& source, std::int64_t deflateStart,
                                            const std::string& workDirectory);

    // How many input bytes the decoder may take at stream offset `at`;
    // none when the split is off (no block start was found).
    std::optional<std::size_t> inputRoom(std::int64_t at);
    // Whether the decoder stands where the second half starts.
    bool atStart(std::int64_t at) const { return limit_ >= 0 && at == limit_ && started_; }

    // The decoder's output, from input up to `at`.
    void decoded(const unsigned char* bytes, std::size_t count, std::int64_t at);

    // At the start, with `state` drained (`nextByte` the byte that the start
    // falls in): true when the second half takes over from here.
    bool takeOver(const inflate_state& state, unsigned char nextByte);

    // After takeOver(): the member's next bytes, and then how they end.
    struct Delivery {
        enum class End { none, member, damaged, goOnAlone };
        std::size_t length = 0;
        End end = End::none;
        bool fromFile = false;  // the bytes are the next of decodedFile()
    };
    Delivery deliver(unsigned char* out, std::size_t capacity);
    // The second part's bytes are not read from its file again: their pages
    // are let go as they are delivered, rather than all at the end, when
    // the file is closed (freeing 170 MB of tmpfs took some 60 ms there).
    void releaseDelivered() { releasing_ = true; }
    // The file that the second part's bytes are delivered from.
    int decodedFile() const { return half_->decodedFile(); }
    // After `member`: where the input goes on.
    std::int64_t memberEnd() const { return half_->memberEnd(); }
    // After `goOnAlone`: makes `state` the one to go on from, and returns
    // where its input goes on.
    std::int64_t resume(inflate_state& state) const;

private:
    GzipSplit(std::unique_ptr<GzipSecondHalf> half, std::int64_t searchFrom);
    bool prove(const inflate_state& state, unsigned char nextByte);
    bool resolveMarks();
    bool trailerHolds() const;
    void release();

    std::unique_ptr<GzipSecondHalf> half_;
    const std::int64_t searchFrom_;
    std::int64_t limit_;           // where the decoder stops: the search's start, then the second half's
    bool started_ = false;         // whether limit_ is the second half's start
    std::uint64_t startBit_ = 0;

    // The last 32 KiB of output before the start.
    std::unique_ptr<unsigned char[]> window_;
    std::size_t windowLength_ = 0;

    // What the proof decoded after the decoder's state: the end of the
    // block before the start.
    std::unique_ptr<unsigned char[]> tail_;
    std::size_t tailLength_ = 0;
    std::uint64_t before_ = 0;     // the member's bytes before the start
    std::uint32_t firstCrc_ = 0;   // their CRC-32
    std::uint32_t marksCrc_ = 0;   // the resolved marks'

    // Delivery: the tail, the resolved marks, then the second half's file.
    enum class Part { tail, marks, file };
    Part part_ = Part::tail;
    std::uint64_t delivered_ = 0;  // of the current part
    bool releasing_ = false;
    std::uint64_t released_ = 0;  // the file's bytes let go, from its start
};

}  // namespace kotar
