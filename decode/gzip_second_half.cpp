#include "decode/gzip_second_half.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <new>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include "decode/deflate_bits.h"
#include "decode/deflate_block_finder.h"
#include "decode/heap_array.h"
#include "decode/decoding_thread.h"
#include "decode/marked_inflate.h"
#include "files/anonymous_file.h"
#include "files/write_all.h"

namespace kotar {

namespace {

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

std::unique_ptr<GzipSecondHalf> GzipSecondHalf::start(InputSource& source, std::int64_t searchFrom,
                                                      const std::string& workDirectory) {
    std::unique_ptr<GzipSecondHalf> half(new (std::nothrow) GzipSecondHalf(source, searchFrom, workDirectory));
    if (half == nullptr) return nullptr;
    half->started_ = startSignalFreeThread(half->thread_, threadMain, half.get());
    return half->started_ ? std::move(half) : nullptr;
}

GzipSecondHalf::GzipSecondHalf(InputSource& source, std::int64_t searchFrom, const std::string& workDirectory)
    : source_(source), searchFrom_(searchFrom), workDirectory_(workDirectory) {}

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

bool GzipSecondHalf::marksDone() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stage_ != Stage::searching && stage_ != Stage::marking; });
    return marksDone_;
}

GzipSecondHalf::Progress GzipSecondHalf::waitPast(std::uint64_t delivered) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this, delivered] { return lastWritten_ > delivered || stage_ != Stage::writing; });
    const Outcome outcome = stage_ == Stage::writing    ? Outcome::going
                            : stage_ == Stage::finished ? Outcome::finished
                                                        : Outcome::failed;
    return {lastWritten_, outcome};
}

void GzipSecondHalf::run() {
    startBit_ = search();
    if (!startBit_) return reach(Stage::failed);
    reach(Stage::marking);
    std::uint64_t windowKnownAt = 0;
    std::int64_t input = 0;
    std::unique_ptr<inflate_state> state(new (std::nothrow) inflate_state);
    lastState_.reset(new (std::nothrow) inflate_state);
    if (state == nullptr || lastState_ == nullptr || !inflateMarks(*startBit_, windowKnownAt) ||
        !startInflate(windowKnownAt, *state, input)) {
        marks_.reset();
        return reach(Stage::failed);
    }
    marksDone_ = true;
    record(*state, input, 0, 0);
    reach(Stage::writing);
    reach(inflateRest(*state, input) ? Stage::finished : Stage::failed);
}

std::optional<std::uint64_t> GzipSecondHalf::search() {
    const std::size_t size = kSearchSpan + kLongestHeader;
    const auto bytes = newArray<unsigned char>(size);
    if (bytes == nullptr) return std::nullopt;
    const std::int64_t got = readUpTo(source_, searchFrom_, bytes.get(), size);
    if (got <= 0) return std::nullopt;
    const std::optional<std::uint64_t> found =
        findDynamicBlock(bytes.get(), static_cast<std::size_t>(got), 0, std::uint64_t{kSearchSpan} * 8);
    if (!found) return std::nullopt;
    return static_cast<std::uint64_t>(searchFrom_) * 8 + *found;
}

bool GzipSecondHalf::inflateMarks(std::uint64_t from, std::uint64_t& windowKnownAt) {
    const auto input = newArray<unsigned char>(kMarkInput + kInputSlack);
    marks_ = newArray<std::uint16_t>(kMostMarks);
    if (input == nullptr || marks_ == nullptr) return false;
    const auto first = static_cast<std::int64_t>(from / 8);
    const std::int64_t got = readUpTo(source_, first, input.get(), kMarkInput);
    if (got <= 0 || stopping()) return false;
    std::memset(input.get() + got, 0, kInputSlack);
    DeflateBits bits(input.get(), static_cast<std::size_t>(got), from % 8);
    const MarkedRun run = inflateMarked(bits, bits.sizeInBits(), kMostMarks, marks_.get(), kMostMarks, markCount_);
    if (run.end != MarkedEnd::windowKnown) return false;
    windowKnownAt = static_cast<std::uint64_t>(first) * 8 + run.position;
    source_.countRead(run.position / 8);
    return true;
}

// Readies ISA-L to go on from bit `from`, just after the marks: the bits of
// its byte are preset, and the window is the marks' last 32 KiB, all bytes
// by now. `input` is then the stream offset of the next byte to give it.
bool GzipSecondHalf::startInflate(std::uint64_t from, inflate_state& state, std::int64_t& input) {
    input = static_cast<std::int64_t>(from / 8);
    unsigned char firstByte = 0;
    if (!readExactly(source_, input++, &firstByte, 1)) return false;
    unsigned char window[kDeflateWindow];
    const std::uint16_t* last = marks_.get() + markCount_ - kDeflateWindow;
    for (std::size_t i = 0; i < kDeflateWindow; ++i) window[i] = static_cast<unsigned char>(last[i]);
    isal_inflate_init(&state);
    state.crc_flag = ISAL_DEFLATE;
    isal_inflate_set_dict(&state, window, kDeflateWindow);
    state.read_in = firstByte >> (from % 8);
    state.read_in_length = static_cast<std::int32_t>(8 - from % 8);
    spill_ = FileDescriptor(openAnonymousFile(workDirectory_));
    return spill_.valid();
}

// Publishes ISA-L's state after `written` bytes, from which the caller may
// go on should this thread stop.
void GzipSecondHalf::record(const inflate_state& state, std::int64_t input, std::uint64_t written, std::uint32_t crc) {
    {
        const std::lock_guard lock(mutex_);
        *lastState_ = state;
        lastInput_ = input;
        lastWritten_ = written;
        lastCrc_ = crc;
    }
    changed_.notify_all();
}

bool GzipSecondHalf::inflateRest(inflate_state& state, std::int64_t input) {
    const auto buffer = newArray<unsigned char>(kInputPiece);
    const auto output = newArray<unsigned char>(kOutputPiece);
    struct statvfs space {};
    if (buffer == nullptr || output == nullptr || fstatvfs(spill_.get(), &space) != 0) return false;
    // The file must leave room for the caller's own files beside it.
    const std::uint64_t mostWritten = std::uint64_t{space.f_bavail} * space.f_frsize / 2;
    std::uint64_t written = 0;
    std::uint32_t crc = 0;
    std::int64_t end = input;  // of the bytes read
    while (state.block_state != ISAL_BLOCK_FINISH) {
        if (stopping()) return false;
        if (state.avail_in == 0) {
            const std::int64_t got = source_.readAt(end, buffer.get(), kInputPiece);
            if (got <= 0) return false;  // cut short, or a read error
            end += got;
            state.next_in = buffer.get();
            state.avail_in = static_cast<std::uint32_t>(got);
        }
        state.next_out = output.get();
        state.avail_out = kOutputPiece;
        const std::uint32_t inputBefore = state.avail_in;
        // Damage stops here, before the bytes of this call: the caller goes
        // on from the state before it, and finds the damage itself.
        if (isal_inflate(&state) < 0) return false;
        const std::size_t produced = kOutputPiece - state.avail_out;
        if (produced == 0 && state.avail_in == inputBefore && state.block_state != ISAL_BLOCK_FINISH) return false;
        if (written + produced > mostWritten || !writeAll(spill_.get(), output.get(), produced)) return false;
        source_.countRead(inputBefore - state.avail_in);
        written += produced;
        crc = crc32_gzip_refl(crc, output.get(), produced);
        // The state that ended the final block is not one to go on from:
        // should the trailer not be there, the caller decodes that last
        // piece again, and meets the cut itself.
        if (state.block_state != ISAL_BLOCK_FINISH) record(state, end - state.avail_in, written, crc);
    }
    // The trailer starts at the byte after the final block: ISA-L may have
    // taken whole bytes beyond it into its bit buffer.
    if (state.read_in_length < 0 || !readTrailer(end - state.avail_in - state.read_in_length / 8)) return false;
    const std::lock_guard lock(mutex_);
    lastWritten_ = written;
    lastCrc_ = crc;
    return true;
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
