#include "decode/gzip_second_half.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include "decode/deflate_bits.h"
#include "decode/deflate_block_finder.h"
#include "decode/decoding_thread.h"
#include "decode/marked_inflate.h"
#include "files/anonymous_file.h"
#include "files/write_all.h"

namespace kotar {

namespace {

constexpr std::int64_t kDefaultSmallestSplit = std::int64_t{8} << 20;
// The search looks this far for a block start; real encoders start one
// every few dozen KiB at most.
constexpr std::size_t kSearchSpan = 1024 * 1024;
// Room for the longest dynamic header after the last position tried.
constexpr std::size_t kLongestHeader = 1024;
// The marks at most (2 bytes each), and the input they may take. Blocks of
// ordinary data know their window after a few hundred KiB; some take
// several MiB.
constexpr std::size_t kMostMarks = std::size_t{8} << 20;
constexpr std::size_t kMarkInput = std::size_t{8} << 20;
// Zero bytes after input that the marked decoder reads past its end.
constexpr std::size_t kInputSlack = 64;
// ISA-L's pieces after the marks.
constexpr std::size_t kInputPiece = 256 * 1024;
constexpr std::size_t kOutputPiece = 1024 * 1024;
constexpr std::size_t kTrailerSize = 8;

template <typename T>
std::unique_ptr<T[]> allocate(std::size_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// Reads exactly `count` bytes at `offset`: false at the end or on an error.
bool readExactly(InputSource& source, std::int64_t offset, unsigned char* out, std::size_t count) {
    while (count > 0) {
        const std::int64_t got = source.readAt(offset, out, count);
        if (got <= 0) return false;
        offset += got;
        out += got;
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

// As many as there are, up to `count`: -1 on an error.
std::int64_t readUpTo(InputSource& source, std::int64_t offset, unsigned char* out, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const std::int64_t got = source.readAt(offset + static_cast<std::int64_t>(done), out + done, count - done);
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

}  // namespace

std::int64_t smallestSplitInput() {
    if (const char* set = std::getenv("KOTAR_GZIP_SPLIT")) {
        char* end = nullptr;
        const long long value = std::strtoll(set, &end, 10);
        if (end != set && *end == '\0' && value >= 0) return value;
    }
    return kDefaultSmallestSplit;
}

std::unique_ptr<GzipSecondHalf> GzipSecondHalf::start(InputSource& source, std::int64_t searchFrom) {
    std::unique_ptr<GzipSecondHalf> half(new (std::nothrow) GzipSecondHalf(source, searchFrom));
    if (half == nullptr) return nullptr;
    half->started_ = startSignalFreeThread(half->thread_, threadMain, half.get());
    return half->started_ ? std::move(half) : nullptr;
}

GzipSecondHalf::GzipSecondHalf(InputSource& source, std::int64_t searchFrom) : source_(source), searchFrom_(searchFrom) {}

GzipSecondHalf::~GzipSecondHalf() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    if (started_) pthread_join(thread_, nullptr);
}

void* GzipSecondHalf::threadMain(void* self) {
    static_cast<GzipSecondHalf*>(self)->run();
    return nullptr;
}

bool GzipSecondHalf::stopping() const {
    const std::lock_guard lock(mutex_);
    return stop_;
}

void GzipSecondHalf::reach(Stage stage) {
    {
        const std::lock_guard lock(mutex_);
        stage_ = stage;
    }
    changed_.notify_all();
}

std::optional<std::uint64_t> GzipSecondHalf::startBit() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stage_ != Stage::searching; });
    return startBit_;
}

bool GzipSecondHalf::finished() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stage_ == Stage::finished || stage_ == Stage::failed; });
    return stage_ == Stage::finished;
}

void GzipSecondHalf::run() {
    startBit_ = search();
    if (!startBit_) return reach(Stage::failed);
    reach(Stage::decoding);
    std::uint64_t windowKnownAt = 0;
    const bool decoded = inflateMarks(*startBit_, windowKnownAt) && inflateRest(windowKnownAt);
    if (!decoded) {
        marks_.reset();
        spill_ = FileDescriptor();
    }
    reach(decoded ? Stage::finished : Stage::failed);
}

std::optional<std::uint64_t> GzipSecondHalf::search() {
    const std::size_t size = kSearchSpan + kLongestHeader;
    const auto bytes = allocate<unsigned char>(size);
    if (bytes == nullptr) return std::nullopt;
    const std::int64_t got = readUpTo(source_, searchFrom_, bytes.get(), size);
    if (got <= 0) return std::nullopt;
    const std::optional<std::uint64_t> found =
        findDynamicBlock(bytes.get(), static_cast<std::size_t>(got), 0, std::uint64_t{kSearchSpan} * 8);
    if (!found) return std::nullopt;
    return static_cast<std::uint64_t>(searchFrom_) * 8 + *found;
}

bool GzipSecondHalf::inflateMarks(std::uint64_t from, std::uint64_t& windowKnownAt) {
    const auto input = allocate<unsigned char>(kMarkInput + kInputSlack);
    marks_ = allocate<std::uint16_t>(kMostMarks);
    if (input == nullptr || marks_ == nullptr) return false;
    const auto first = static_cast<std::int64_t>(from / 8);
    const std::int64_t got = readUpTo(source_, first, input.get(), kMarkInput);
    if (got <= 0 || stopping()) return false;
    std::memset(input.get() + got, 0, kInputSlack);
    DeflateBits bits(input.get(), static_cast<std::size_t>(got), from % 8);
    const MarkedRun run = inflateMarked(bits, bits.sizeInBits(), kMostMarks, marks_.get(), kMostMarks, markCount_);
    if (run.end != MarkedEnd::windowKnown) return false;
    windowKnownAt = static_cast<std::uint64_t>(first) * 8 + run.position;
    return true;
}

bool GzipSecondHalf::inflateRest(std::uint64_t from) {
    const auto state = std::unique_ptr<inflate_state>(new (std::nothrow) inflate_state);
    const auto input = allocate<unsigned char>(kInputPiece);
    const auto output = allocate<unsigned char>(kOutputPiece);
    spill_ = FileDescriptor(openAnonymousFile(""));
    if (state == nullptr || input == nullptr || output == nullptr || !spill_.valid()) return false;

    // ISA-L goes on from the bit after the marks: the bits of its byte are
    // preset, and the window is the marks' last 32 KiB, all bytes by now.
    unsigned char window[kDeflateWindow];
    const std::uint16_t* last = marks_.get() + markCount_ - kDeflateWindow;
    for (std::size_t i = 0; i < kDeflateWindow; ++i) window[i] = static_cast<unsigned char>(last[i]);
    auto byte = static_cast<std::int64_t>(from / 8);
    unsigned char firstByte = 0;
    if (!readExactly(source_, byte++, &firstByte, 1)) return false;
    isal_inflate_init(state.get());
    state->crc_flag = ISAL_DEFLATE;
    isal_inflate_set_dict(state.get(), window, kDeflateWindow);
    state->read_in = firstByte >> (from % 8);
    state->read_in_length = static_cast<std::int32_t>(8 - from % 8);

    while (state->block_state != ISAL_BLOCK_FINISH) {
        if (stopping()) return false;
        if (state->avail_in == 0) {
            const std::int64_t got = source_.readAt(byte, input.get(), kInputPiece);
            if (got <= 0) return false;  // cut short, or a read error
            byte += got;
            state->next_in = input.get();
            state->avail_in = static_cast<std::uint32_t>(got);
        }
        state->next_out = output.get();
        state->avail_out = kOutputPiece;
        if (isal_inflate(state.get()) < 0) return false;
        const std::size_t produced = kOutputPiece - state->avail_out;
        if (!writeAll(spill_.get(), output.get(), produced)) return false;
        decodedCrc_ = crc32_gzip_refl(decodedCrc_, output.get(), produced);
        decodedLength_ += produced;
    }
    // The trailer starts at the byte after the final block: ISA-L may have
    // taken whole bytes beyond it into its bit buffer.
    if (state->read_in_length < 0) return false;
    const std::int64_t unread = state->avail_in + state->read_in_length / 8;
    return readTrailer(byte - unread);
}

bool GzipSecondHalf::readTrailer(std::int64_t at) {
    unsigned char bytes[kTrailerSize];
    if (!readExactly(source_, at, bytes, kTrailerSize)) return false;
    const auto field = [&bytes](std::size_t from) {
        return static_cast<std::uint32_t>(bytes[from]) | static_cast<std::uint32_t>(bytes[from + 1]) << 8 |
               static_cast<std::uint32_t>(bytes[from + 2]) << 16 | static_cast<std::uint32_t>(bytes[from + 3]) << 24;
    };
    trailer_ = {field(0), field(4)};
    memberEnd_ = at + static_cast<std::int64_t>(kTrailerSize);
    return true;
}

}  // namespace kotar
