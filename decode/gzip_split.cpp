#include "decode/gzip_split.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include <isa-l/crc.h>

#include "decode/crc32_combine.h"
#include "decode/heap_array.h"
#include "decode/marked_inflate.h"

namespace kotar {

namespace {

// The window is gathered from output of the last MiB of input before the
// search's start on: the second half starts at most as far after it.
constexpr std::int64_t kWindowLead = 1024 * 1024;
// Room for what the proof decodes: the rest of a block from the bits that
// ISA-L holds, some hundred symbols at most.
constexpr std::size_t kTailRoom = 1024 * 1024;
// The final block that the proof appends: BFINAL 1, BTYPE 01 (fixed), then
// the 7-bit end code 0000000, least significant bit first.
constexpr std::uint32_t kFinalEmptyBlock = 0b011;
constexpr unsigned kFinalEmptyBlockBits = 10;
// The second part's file is let go this much at a time behind its delivery.
constexpr std::uint64_t kReleaseStep = std::uint64_t{8} << 20;

// The search for the second part's start begins halfway into the member's
// input: the first part's thread hands the second part's bytes on as they
// are written, so both threads decode until the end.

std::atomic<std::uint64_t> membersSplit = 0;

// The smallest gzip input worth a second part: KOTAR_GZIP_SPLIT in the
// environment sets it in bytes (the tests split every gzip file with 0),
// else a few MiB.
constexpr std::int64_t kDefaultSmallestSplit = std::int64_t{8} << 20;

std::int64_t smallestSplitInput() {
    if (const char* set = std::getenv("KOTAR_GZIP_SPLIT")) {
        char* end = nullptr;
        const long long value = std::strtoll(set, &end, 10);
        if (end != set && *end == '\0' && value >= 0) return value;
    }
    return kDefaultSmallestSplit;
}

}  // namespace

std::unique_ptr<GzipSplit> GzipSplit::start(InputSource& source, std::int64_t deflateStart,
                                            const std::string& workDirectory) {
    // The second part's file could meet a file size limit (SIGXFSZ).
    rlimit fileSize {};
    if (getrlimit(RLIMIT_FSIZE, &fileSize) != 0 || fileSize.rlim_cur != RLIM_INFINITY) return nullptr;
    const std::int64_t length = source.length();
    if (length < 0 || length - deflateStart < std::max<std::int64_t>(smallestSplitInput(), 1)) return nullptr;
    const std::int64_t searchFrom = deflateStart + (length - deflateStart) / 2;
    std::unique_ptr<GzipSecondHalf> half = GzipSecondHalf::start(source, searchFrom, workDirectory);
    if (half == nullptr) return nullptr;
    std::unique_ptr<GzipSplit> split(new (std::nothrow) GzipSplit(std::move(half), searchFrom));
    if (split == nullptr || split->window_ == nullptr || split->tail_ == nullptr) return nullptr;
    return split;
}

GzipSplit::GzipSplit(std::unique_ptr<GzipSecondHalf> half, std::int64_t searchFrom)
    : half_(std::move(half)),
      searchFrom_(searchFrom),
      limit_(searchFrom),
      window_(newArray<unsigned char>(kDeflateWindow)),
      tail_(newArray<unsigned char>(kTailRoom)) {}

std::optional<std::size_t> GzipSplit::inputRoom(std::int64_t at) {
    if (!started_ && at >= limit_) {
        const std::optional<std::uint64_t> bit = half_->startBit();
        if (!bit || static_cast<std::int64_t>(*bit / 8) < at) return std::nullopt;
        startBit_ = *bit;
        limit_ = static_cast<std::int64_t>(*bit / 8);
        started_ = true;
    }
    return static_cast<std::size_t>(limit_ - at);
}

void GzipSplit::decoded(const unsigned char* bytes, std::size_t count, std::int64_t at) {
    before_ += count;
    if (at + kWindowLead < searchFrom_) return;
    if (count >= kDeflateWindow) {
        std::memcpy(window_.get(), bytes + count - kDeflateWindow, kDeflateWindow);
        windowLength_ = kDeflateWindow;
        return;
    }
    const std::size_t kept = std::min(windowLength_, kDeflateWindow - count);
    std::memmove(window_.get(), window_.get() + windowLength_ - kept, kept);
    std::memcpy(window_.get() + kept, bytes, count);
    windowLength_ = kept + count;
}

std::uint64_t gzipMembersSplit() { return membersSplit.load(); }

bool GzipSplit::takeOver(const inflate_state& state, unsigned char nextByte) {
    if (!prove(state, nextByte) || !half_->marksDone() || !resolveMarks()) return false;
    membersSplit.fetch_add(1);
    return true;
}

bool GzipSplit::prove(const inflate_state& state, unsigned char nextByte) {
    // A final block begun before the start would end the member there.
    if (state.bfinal != 0) return false;
    const std::unique_ptr<inflate_state> trial(new (std::nothrow) inflate_state(state));
    if (trial == nullptr) return false;
    // The start byte's bits before the start, then the appended block.
    const unsigned kept = startBit_ % 8;
    const std::uint32_t bits = (nextByte & ((1u << kept) - 1)) | (kFinalEmptyBlock << kept);
    unsigned char input[3] = {static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
                              static_cast<unsigned char>(bits >> 16)};
    trial->crc_flag = ISAL_DEFLATE;  // the trailer is not there: the block must just end
    trial->next_in = input;
    trial->avail_in = sizeof input;
    while (trial->block_state != ISAL_BLOCK_FINISH) {
        trial->next_out = tail_.get() + tailLength_;
        trial->avail_out = static_cast<std::uint32_t>(kTailRoom - tailLength_);
        const std::uint32_t inputBefore = trial->avail_in;
        const int result = isal_inflate(trial.get());
        const std::size_t produced = kTailRoom - tailLength_ - trial->avail_out;
        tailLength_ += produced;
        if (result < 0 || (produced == 0 && trial->avail_in == inputBefore) || tailLength_ == kTailRoom) return false;
    }
    // Ended with exactly the appended block's bits taken after the start.
    const std::int64_t unused = std::int64_t{trial->avail_in} * 8 + trial->read_in_length;
    if (unused != static_cast<std::int64_t>(sizeof input * 8 - kept - kFinalEmptyBlockBits)) return false;
    firstCrc_ = crc32_gzip_refl(state.crc, tail_.get(), tailLength_);
    decoded(tail_.get(), tailLength_, limit_);
    return true;
}

bool GzipSplit::resolveMarks() {
    // The window must hold all the output before the start, or its last
    // 32 KiB: the marks may refer to any of it.
    if (windowLength_ < std::min<std::uint64_t>(kDeflateWindow, before_)) return false;
    std::uint16_t* marks = half_->marks();
    // Resolved in place: byte i goes where symbol i began, at or before it.
    auto* bytes = reinterpret_cast<unsigned char*>(marks);
    if (!kotar::resolveMarks(marks, half_->markCount(), window_.get(), windowLength_, bytes)) return false;
    marksCrc_ = crc32_gzip_refl(0, bytes, half_->markCount());
    return true;
}

GzipSplit::Delivery GzipSplit::deliver(unsigned char* out, std::size_t capacity) {
    for (;;) {
        switch (part_) {
            case Part::tail:
            case Part::marks: {
                const unsigned char* from =
                    part_ == Part::tail ? tail_.get() : reinterpret_cast<const unsigned char*>(half_->marks());
                const std::size_t length = part_ == Part::tail ? tailLength_ : half_->markCount();
                const std::size_t count = std::min(capacity, length - delivered_);
                if (count == 0) {
                    part_ = part_ == Part::tail ? Part::marks : Part::file;
                    delivered_ = 0;
                    continue;
                }
                std::memcpy(out, from + delivered_, count);
                delivered_ += count;
                return {count};
            }
            case Part::file: {
                const GzipSecondHalf::Progress progress = half_->waitPast(delivered_);
                if (progress.written == delivered_) {
                    if (progress.outcome == GzipSecondHalf::Outcome::failed) return {0, Delivery::End::goOnAlone};
                    return {0, trailerHolds() ? Delivery::End::member : Delivery::End::damaged};
                }
                const std::uint64_t most = std::min<std::uint64_t>(capacity, progress.written - delivered_);
                const ssize_t got =
                    pread(half_->decodedFile(), out, static_cast<std::size_t>(most), static_cast<off_t>(delivered_));
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) return {0, Delivery::End::damaged};
                delivered_ += static_cast<std::uint64_t>(got);
                if (releasing_) release();
                return {static_cast<std::size_t>(got), Delivery::End::none, true};
            }
        }
    }
}

// Lets the file's pages before the delivered bytes go, a few MiB at a time.
// resume() takes up from ISA-L's state alone, and reads none of them.
void GzipSplit::release() {
    const std::uint64_t end = delivered_ / kReleaseStep * kReleaseStep;
    if (end <= released_) return;
    if (::fallocate(half_->decodedFile(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(released_),
                    static_cast<off_t>(end - released_)) == 0) {
        released_ = end;
    } else {
        releasing_ = false;  // a file system that keeps every page until the close
    }
}

std::int64_t GzipSplit::resume(inflate_state& state) const {
    // ISA-L checks the trailer from here on, against the CRC-32 and the
    // length of everything delivered.
    state = half_->lastState();
    state.crc_flag = ISAL_GZIP_NO_HDR_VER;
    state.crc = crc32Combine(crc32Combine(firstCrc_, marksCrc_, half_->markCount()), half_->writtenCrc(), delivered_);
    state.total_out = static_cast<std::uint32_t>(before_ + half_->markCount() + delivered_);
    return half_->lastInput();
}

bool GzipSplit::trailerHolds() const {
    const std::size_t markCount = half_->markCount();
    std::uint32_t crc = crc32Combine(firstCrc_, marksCrc_, markCount);
    crc = crc32Combine(crc, half_->writtenCrc(), delivered_);
    const auto length = static_cast<std::uint32_t>(before_ + markCount + delivered_);
    const GzipTrailer trailer = half_->trailer();
    return crc == trailer.crc && length == trailer.size;
}

}  // namespace kotar
