#include "lib/gzip_random_access.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include <isa-l/igzip_lib.h>
#include <zstd.h>

#include "format/indexed_layout.h"

namespace kotar {

namespace {

constexpr std::size_t kInputBytes = 256 * 1024;
constexpr std::size_t kSkipBytes = 256 * 1024;
// What the decoder takes at a time past a read, to meet the trailer.
constexpr std::size_t kProbeBytes = 64;
// ISA-L counts its buffers in 32 bits.
constexpr std::size_t kLargestOutput = std::size_t{1} << 30;
// The part of ISA-L's state before its output buffer: everything but the
// history kept there, which a checkpoint stores up to its valid length.
constexpr std::size_t kStateHead = offsetof(inflate_state, tmp_out_buffer);
// zstd's fastest level: a checkpoint packs in about 0.1 ms.
constexpr int kPackingLevel = 1;

}  // namespace

struct GzipRandomAccess::Checkpoint {
    std::uint64_t out = 0;  // the stream offset it stands at
    std::uint64_t in = 0;   // the compressed offset to go on from
    std::size_t stateBytes = 0;  // the state's head and history, as ISA-L holds them
    std::unique_ptr<unsigned char[]> packed;  // those bytes compressed with zstd
    std::size_t packedBytes = 0;
};

struct GzipRandomAccess::Decoder {
    // `draining`: inflate met damage after bytes that it inflated ahead into
    // its own buffer; those are handed out first, then it is `damaged`.
    enum class Step { header, body, between, draining, finished, damaged, failed };

    std::unique_ptr<inflate_state> state = std::make_unique<inflate_state>();  // about 85 KiB
    isal_gzip_header header{};
    Step step = Step::header;
    std::uint64_t out = 0;  // the stream offset of the next byte out
    std::unique_ptr<unsigned char[]> input = std::make_unique<unsigned char[]>(kInputBytes);
    std::uint64_t inputAt = 0;  // the compressed offset of input[0]
    std::size_t begin = 0;      // the input's unconsumed bytes: [begin, end)
    std::size_t end = 0;

    bool live() const {
        return step == Step::header || step == Step::body || step == Step::between || step == Step::draining;
    }

    // The bytes inflate holds in its own buffer, not yet handed out.
    std::size_t pending() const {
        const inflate_state& s = *state;
        const bool sound = s.tmp_out_processed >= 0 && s.tmp_out_processed <= s.tmp_out_valid &&
                           s.tmp_out_valid <= static_cast<std::int64_t>(sizeof s.tmp_out_buffer);
        return sound ? static_cast<std::size_t>(s.tmp_out_valid - s.tmp_out_processed) : 0;
    }
    std::uint64_t in() const { return inputAt + begin; }
    std::size_t available() const { return end - begin; }

    void startMember() {
        isal_inflate_reset(state.get());
        isal_gzip_header_init(&header);
        header.flags = 0;  // ISA-L 2.30 resumes a split header from it
        step = Step::header;
    }

    void restart() {
        isal_inflate_init(state.get());
        inputAt = 0;
        begin = end = 0;
        out = 0;
        startMember();
    }

    // Appends what one pread gives. False at the end of the file or on a
    // failed read (step becomes `failed`).
    bool refill(int descriptor) {
        if (begin > 0) {
            std::memmove(input.get(), input.get() + begin, available());
            inputAt += begin;
            end -= begin;
            begin = 0;
        }
        if (end == kInputBytes) return true;
        for (;;) {
            const ssize_t got =
                ::pread(descriptor, input.get() + end, kInputBytes - end, static_cast<off_t>(inputAt + end));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) step = Step::failed;
            if (got <= 0) return false;
            end += static_cast<std::size_t>(got);
            return true;
        }
    }
};

GzipRandomAccess::GzipRandomAccess(int descriptor) : descriptor_(descriptor), decoder_(std::make_unique<Decoder>()) {
    decoder_->restart();
    // Room for all a read may keep, made here, so that a read allocates
    // only what it can do without: the most checkpoints an indexed
    // archive's 2 GiB need, and the longest probe past a read.
    checkpoints_.reserve(kArchiveLimit / kCheckpointInterval + 1);
    lookahead_.reserve(kSkipBytes + kProbeBytes);
}

GzipRandomAccess::~GzipRandomAccess() = default;

bool GzipRandomAccess::lengthKnown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

std::uint64_t GzipRandomAccess::length() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return length_;
}

std::size_t GzipRandomAccess::checkpoints() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return checkpoints_.size();
}

std::size_t GzipRandomAccess::checkpointBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t bytes = 0;
    for (const Checkpoint& checkpoint : checkpoints_) bytes += checkpoint.packedBytes;
    return bytes;
}

// Decodes until some bytes come out or the stream stops.
GzipRandomAccess::Result GzipRandomAccess::advance(unsigned char* out, std::size_t capacity, std::size_t& produced) {
    Decoder& d = *decoder_;
    inflate_state& s = *d.state;
    produced = 0;
    capacity = std::min(capacity, kLargestOutput);
    while (produced == 0 && d.live()) {
        if (d.step == Decoder::Step::header) {
            s.next_in = d.input.get() + d.begin;
            s.avail_in = static_cast<std::uint32_t>(d.available());
            const int result = isal_read_gzip_header(&s, &d.header);
            d.begin = d.end - s.avail_in;
            if (result == ISAL_DECOMP_OK) {
                s.crc_flag = ISAL_GZIP_NO_HDR_VER;
                d.step = Decoder::Step::body;
            } else if (result != ISAL_END_INPUT) {
                d.step = Decoder::Step::damaged;
            } else if (!d.refill(descriptor_) && d.step != Decoder::Step::failed) {
                d.step = Decoder::Step::damaged;  // cut short in a member's header
            }
        } else if (d.step == Decoder::Step::body) {
            s.next_in = d.input.get() + d.begin;
            s.avail_in = static_cast<std::uint32_t>(d.available());
            s.next_out = out;
            s.avail_out = static_cast<std::uint32_t>(capacity);
            const int result = isal_inflate(&s);
            const std::size_t consumed = d.available() - s.avail_in;
            produced = capacity - s.avail_out;
            d.begin += consumed;
            d.out += produced;
            if (result == ISAL_INCORRECT_CHECKSUM) {
                // The trailer disowns the member: the bytes that came out
                // with it are not known to be sound, and fail this read.
                produced = 0;
                d.step = Decoder::Step::damaged;
            } else if (result < 0) {
                // Given little room, ISA-L inflates ahead into its own buffer,
                // and keeps there what it inflated before the damage.
                d.step = d.pending() > 0 ? Decoder::Step::draining : Decoder::Step::damaged;
            } else if (s.block_state == ISAL_BLOCK_FINISH) {
                d.step = Decoder::Step::between;
            } else if (produced == 0 && consumed == 0 && !d.refill(descriptor_) &&
                       d.step != Decoder::Step::failed) {
                d.step = Decoder::Step::damaged;  // cut short inside a member
            }
        } else if (d.step == Decoder::Step::draining) {
            produced = std::min(capacity, d.pending());
            std::memcpy(out, s.tmp_out_buffer + s.tmp_out_processed, produced);
            s.tmp_out_processed += static_cast<std::int32_t>(produced);
            d.out += produced;
            if (d.pending() == 0) d.step = Decoder::Step::damaged;
        } else {
            if (d.available() < 2) d.refill(descriptor_);
            if (d.step == Decoder::Step::failed) break;
            const unsigned char* next = d.input.get() + d.begin;
            if (d.available() >= 2 && next[0] == 0x1f && next[1] == 0x8b) {
                d.startMember();
            } else {
                d.step = Decoder::Step::finished;  // the end, or trailing bytes that are ignored
            }
        }
    }
    if (d.step == Decoder::Step::damaged) damagedAt_ = std::min(damagedAt_, d.out);
    // Bytes that came out are sound even when damage follows them.
    if (produced > 0) return Result::done;
    if (d.step == Decoder::Step::failed) return Result::failed;
    if (d.step == Decoder::Step::damaged) return Result::damaged;
    return Result::done;
}

void GzipRandomAccess::keepCheckpoint() {
    const Decoder& d = *decoder_;
    const inflate_state& s = *d.state;
    if (d.step != Decoder::Step::body) return;
    const std::uint64_t last = checkpoints_.empty() ? 0 : checkpoints_.back().out;
    if (d.out < last + kCheckpointInterval || checkpoints_.size() == checkpoints_.capacity()) return;
    const std::size_t history =
        std::clamp<std::int64_t>(s.tmp_out_valid, 0, static_cast<std::int64_t>(sizeof(s.tmp_out_buffer)));
    Checkpoint checkpoint;
    checkpoint.out = d.out;
    checkpoint.in = d.in();
    checkpoint.stateBytes = kStateHead + history;
    // Kept compressed: the Huffman tables and the window shrink to well
    // under the window's 32 KiB. Without memory there is no checkpoint this
    // time; reads stay correct.
    const std::size_t bound = ZSTD_compressBound(checkpoint.stateBytes);
    const std::unique_ptr<unsigned char[]> packing(new (std::nothrow) unsigned char[bound]);
    if (!packing) return;
    const std::size_t packed = ZSTD_compress(packing.get(), bound, &s, checkpoint.stateBytes, kPackingLevel);
    if (ZSTD_isError(packed)) return;
    checkpoint.packed.reset(new (std::nothrow) unsigned char[packed]);
    if (!checkpoint.packed) return;
    std::memcpy(checkpoint.packed.get(), packing.get(), packed);
    checkpoint.packedBytes = packed;
    checkpoints_.push_back(std::move(checkpoint));
}

// Puts the decoder at or before `offset`: where it stands, the last
// checkpoint before `offset`, or the start.
GzipRandomAccess::Result GzipRandomAccess::restore(std::uint64_t offset) {
    Decoder& d = *decoder_;
    const auto after = std::upper_bound(checkpoints_.begin(), checkpoints_.end(), offset,
                                        [](std::uint64_t at, const Checkpoint& c) { return at < c.out; });
    const Checkpoint* best = after == checkpoints_.begin() ? nullptr : &*(after - 1);
    const bool fromHere = d.live() && d.out <= offset && (best == nullptr || d.out >= best->out);
    if (fromHere) return Result::done;
    lookahead_.clear();
    if (best == nullptr) {
        d.restart();
        return Result::done;
    }
    const std::size_t unpacked = ZSTD_decompress(d.state.get(), sizeof(inflate_state), best->packed.get(),
                                                 best->packedBytes);
    if (unpacked != best->stateBytes) {  // cannot be, short of a fault in memory: start over
        d.restart();
        return Result::done;
    }
    d.step = Decoder::Step::body;
    d.out = best->out;
    d.inputAt = best->in;
    d.begin = d.end = 0;
    return Result::done;
}

GzipRandomAccess::Result GzipRandomAccess::read(unsigned char* out, std::size_t count, std::uint64_t offset,
                                                std::size_t& got) {
    std::lock_guard<std::mutex> lock(mutex_);
    got = 0;
    // Nothing asked for, perhaps into no buffer at all: as pread, nothing is
    // decoded and the bytes decoded ahead stay.
    if (count == 0 || (ended_ && offset >= length_)) return Result::done;
    if (offset >= damagedAt_) return Result::damaged;
    Decoder& d = *decoder_;
    // Bytes decoded ahead by the last read.
    const std::uint64_t aheadAt = d.out - lookahead_.size();
    if (!lookahead_.empty() && offset >= aheadAt && offset < d.out) {
        got = static_cast<std::size_t>(std::min<std::uint64_t>(count, d.out - offset));
        std::memcpy(out, lookahead_.data() + (offset - aheadAt), got);
        if (got == count) return Result::done;
    }
    lookahead_.clear();
    if (got == 0) restore(offset);
    std::unique_ptr<unsigned char[]> skip;
    while (got < count) {
        std::size_t produced = 0;
        Result result;
        if (d.out < offset) {
            if (!skip) skip.reset(new (std::nothrow) unsigned char[kSkipBytes]);
            if (!skip) return Result::failed;
            result = advance(skip.get(), static_cast<std::size_t>(std::min<std::uint64_t>(kSkipBytes, offset - d.out)),
                             produced);
        } else {
            // No further than where the next checkpoint is due, so that one
            // large read keeps checkpoints as reads in pieces do: ISA-L
            // inflates as far as the output room allows in one call.
            const std::uint64_t due = (checkpoints_.empty() ? 0 : checkpoints_.back().out) + kCheckpointInterval;
            const std::uint64_t room = d.out < due ? due - d.out : kCheckpointInterval;
            result = advance(out + got, static_cast<std::size_t>(std::min<std::uint64_t>(count - got, room)), produced);
            got += produced;
        }
        keepCheckpoint();
        if (produced > 0) continue;
        if (result != Result::done) return result;
        ended_ = true;  // the stream ended cleanly
        length_ = d.out;
        break;
    }
    return probeEnd();
}

// After a read, the decoder goes a few bytes further, kept for the next
// read: so a read that took the last bytes of the stream also meets the
// trailer, and a failed CRC check fails that read.
GzipRandomAccess::Result GzipRandomAccess::probeEnd() {
    Decoder& d = *decoder_;
    if (d.step != Decoder::Step::body || !lookahead_.empty()) return Result::done;
    // Past the last deflate block only buffered output and the trailer are
    // left: those are taken whole.
    unsigned char ahead[kProbeBytes];
    std::size_t produced = 0;
    do {
        const Result result = advance(ahead, sizeof ahead, produced);
        if (result != Result::done) {
            lookahead_.clear();
            return result;
        }
        lookahead_.insert(lookahead_.end(), ahead, ahead + produced);
    } while (produced > 0 && d.step == Decoder::Step::body && d.state->block_state >= ISAL_BLOCK_INPUT_DONE &&
             lookahead_.size() < kSkipBytes);
    if (d.step == Decoder::Step::damaged || d.step == Decoder::Step::failed) {
        lookahead_.clear();
        return d.step == Decoder::Step::damaged ? Result::damaged : Result::failed;
    }
    keepCheckpoint();
    if (produced == 0 && d.step == Decoder::Step::finished) {
        ended_ = true;
        length_ = d.out;
    }
    return Result::done;
}

}  // namespace kotar
