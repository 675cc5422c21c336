#include "input/archive_input.h"

#include "decode/decoding_thread.h"
#include "text/progress_line.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "decode/unread_compression.h"
#include "files/file_descriptor.h"

namespace kotar {

namespace {

// The window keeps at least kWindowKeep bytes behind the read position, so
// short moves back (a re-read header, the ELF magic test) cost nothing.
// Compressed input is decoded straight into the window, kLargestRefill bytes
// at a time.
constexpr std::size_t kWindowCapacity = 1024 * 1024;
constexpr std::size_t kWindowKeep = 256 * 1024;
constexpr std::size_t kLargestRefill = kDecodeRoom;
static_assert(kWindowKeep + kLargestRefill <= kWindowCapacity);

// Plain input reads little after each seek, so reading a header costs
// little more than the header, and reads more while it is read in order.
constexpr std::size_t kSmallestRefill = 16 * 1024;

constexpr int kPipeCapacity = 1024 * 1024;

std::atomic<std::uint64_t> decodedBytes{0};

}  // namespace

std::uint64_t decodedByteCount() { return decodedBytes.load(std::memory_order_relaxed); }

ArchiveInput::~ArchiveInput() {
    // A decoding thread that waits for a pipe's writer stops at once.
    if (source_ != nullptr) source_->interrupt();
    decoder_.reset();
}

int ArchiveInput::open(const char* path) {
    const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return -1;
    return adoptFile(descriptor);
}

int ArchiveInput::openDescriptor(int held) {
    const int descriptor = fcntl(held, F_DUPFD_CLOEXEC, kFirstOwnDescriptor);
    if (descriptor < 0) return -1;
    return adoptFile(descriptor);
}

int ArchiveInput::adoptFile(int descriptor) {
    struct stat status {};
    const bool regular = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
    // The stream starts where the descriptor stands, which is not the
    // file's start for an inherited one that has been read from.
    const off_t start = regular ? lseek(descriptor, 0, SEEK_CUR) : -1;
    if (adopt(descriptor) != 0) return -1;
    if (regular && start >= 0 && start <= status.st_size) {
        // Stream positions are file offsets only from the file's start.
        if (start == 0) regularFile_ = descriptor;
        inputSize_ = static_cast<std::uint64_t>(status.st_size - start);
    }
    return 0;
}

int ArchiveInput::openStandardInput() {
    // A duplicate, so that closing this input leaves the process's own
    // standard input alone.
    const int descriptor = fcntl(fileno(stdin), F_DUPFD_CLOEXEC, kFirstOwnDescriptor);
    if (descriptor < 0) return -1;
    return adopt(descriptor);
}

int ArchiveInput::adopt(int descriptor) {
    // A pipe's writer and kotar take turns less often with a larger pipe:
    // 1 MiB where the system allows it (best effort).
    struct stat status {};
    if (fstat(descriptor, &status) == 0 && S_ISFIFO(status.st_mode)) fcntl(descriptor, F_SETPIPE_SZ, kPipeCapacity);
    source_ = std::make_unique<InputSource>(descriptor);  // closes it from here on
    startDecoder(chooseDecoder(*source_));
    if (decoder_ == nullptr) {
        source_.reset();
        return -1;
    }
    direct_ = decoder_->passesThrough();
    // The decoder's choice read the first bytes; plain input has not
    // consumed them yet.
    if (direct_) unreadCompression_ = unreadCompressionOf(source_->data(), source_->size());
    // Not cleared: only the bytes that the decoder delivers are ever read.
    window_ = std::make_unique_for_overwrite<unsigned char[]>(kWindowCapacity);
    return 0;
}

// Starts reading again at `offset`: any offset for plain input, 0 for
// compressed input, which is decoded again from its start.
bool ArchiveInput::restartDecoding(std::int64_t offset) {
    if (!source_->seekable()) return false;
    // A decoding thread stops before the source moves.
    source_->interrupt();
    decoder_.reset();
    source_->resume();
    if (!source_->seekTo(offset)) return false;
    startDecoder(direct_ ? makePlainDecoder(*source_) : chooseDecoder(*source_));
    streamPos_ = offset;
    windowLength_ = 0;
    refillSize_ = kSmallestRefill;
    decodeState_ = decoder_ != nullptr ? DecodeState::more : DecodeState::damaged;
    return decoder_ != nullptr;
}

void ArchiveInput::decodeOnItsOwnThread(const std::string& workDirectory) {
    if (ownThread_ || decoder_ == nullptr || direct_ || !decodingThreadWanted()) return;
    ownThread_ = true;
    workDirectory_ = workDirectory;
    // Nothing has been decoded yet, so the decoder moves over as it is.
    if (streamPos_ == 0) decoder_ = runOnDecodingThread(std::move(decoder_), source_->mayWait(), workDirectory_);
}

void ArchiveInput::startDecoder(std::unique_ptr<StreamDecoder> decoder) {
    const bool threaded = ownThread_ && decoder != nullptr;
    decoder_ = threaded ? runOnDecodingThread(std::move(decoder), source_->mayWait(), workDirectory_) : std::move(decoder);
}

std::size_t ArchiveInput::read(void* buffer, std::size_t count) {
    if (decoder_ == nullptr) return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t delivered = 0;
    while (delivered < count) {
        const std::size_t wanted = count - delivered;
        const std::size_t got = readStream(out + delivered, wanted);
        if (got == 0) break;
        delivered += got;
        position_ += static_cast<std::int64_t>(got);
    }
    return delivered;
}

std::int64_t ArchiveInput::seek(std::int64_t offset, int whence) {
    if (decoder_ == nullptr) return -1;
    std::int64_t target = offset;
    if (whence == SEEK_CUR) {
        if (__builtin_add_overflow(position_, offset, &target)) return -1;
    } else if (whence != SEEK_SET) {
        return -1;
    }
    if (target < 0) return -1;
    // The stream itself moves at the next read.
    position_ = target;
    return position_;
}

bool ArchiveInput::readToEnd() {
    if (decoder_ == nullptr) return false;
    if (direct_) return true;
    while (refillWindow()) {
    }
    return decodeState_ == DecodeState::end;
}

std::size_t ArchiveInput::view(std::size_t most, const unsigned char*& bytes) {
    bytes = nullptr;
    if (decoder_ == nullptr || most == 0 || !reachPosition()) return 0;
    if (position_ == streamPos_ && decoder_->lends() && decodeState_ == DecodeState::more) {
        const Decoded lent = decoder_->lend(bytes, most);
        countDecoded(lent.length);
        decodeState_ = lent.state;
        // The window no longer ends where the decoder stands.
        windowLength_ = 0;
        streamPos_ += static_cast<std::int64_t>(lent.length);
        position_ += static_cast<std::int64_t>(lent.length);
        return lent.length;
    }
    if (position_ == streamPos_ && !refillWindow()) return 0;
    const auto offset = static_cast<std::size_t>(position_ - (streamPos_ - static_cast<std::int64_t>(windowLength_)));
    const std::size_t n = std::min(most, windowLength_ - offset);
    bytes = window_.get() + offset;
    position_ += static_cast<std::int64_t>(n);
    return n;
}

void ArchiveInput::countDecoded(std::size_t count) {
    decodedBytes.fetch_add(count, std::memory_order_relaxed);
    decoded_ += count;
    showProgress(0);
}

void ArchiveInput::copiedAhead(std::uint64_t count) { showProgress(count); }

// Plain input is also gone through past the stream, by position (a copy
// between files, a skip that seeks): there, the furthest place reached is
// what has been read, and decoded.
void ArchiveInput::showProgress(std::uint64_t ahead) {
    if (!direct_) {
        progressUpdate(source_->bytesRead(), decoded_);
        return;
    }
    reached_ = std::max({reached_, source_->bytesRead(), static_cast<std::uint64_t>(position_) + ahead});
    progressUpdate(reached_, std::max(decoded_, reached_));
}

// Brings the window to the read position: false when the stream cannot
// reach it.
bool ArchiveInput::reachPosition() {
    const std::int64_t windowStart = streamPos_ - static_cast<std::int64_t>(windowLength_);
    return (position_ >= windowStart && position_ <= streamPos_) || moveStreamTo(position_);
}

std::size_t ArchiveInput::readStream(unsigned char* out, std::size_t count) {
    if (!reachPosition()) return 0;
    if (position_ == streamPos_ && !refillWindow()) return 0;
    const auto offset = static_cast<std::size_t>(position_ - (streamPos_ - static_cast<std::int64_t>(windowLength_)));
    const std::size_t n = std::min(count, windowLength_ - offset);
    std::memcpy(out, window_.get() + offset, n);
    return n;
}

// Decodes the next bytes into the window. Bytes decoded before damage are
// kept and served; the damage shows only when a read needs bytes after them.
bool ArchiveInput::refillWindow() {
    if (decoder_ == nullptr || decodeState_ != DecodeState::more) return false;
    const std::size_t chunk = direct_ ? refillSize_ : kLargestRefill;
    if (windowLength_ + chunk > kWindowCapacity) {
        std::memmove(window_.get(), window_.get() + windowLength_ - kWindowKeep, kWindowKeep);
        windowLength_ = kWindowKeep;
    }
    const Decoded decoded = decoder_->decode(window_.get() + windowLength_, chunk);
    countDecoded(decoded.length);
    windowLength_ += decoded.length;
    streamPos_ += static_cast<std::int64_t>(decoded.length);
    decodeState_ = decoded.state;
    refillSize_ = std::min(2 * refillSize_, kLargestRefill);
    return decoded.length > 0;
}

// Brings the decoder to `target`, or as near as the stream's end allows.
bool ArchiveInput::moveStreamTo(std::int64_t target) {
    if (direct_) {
        // Plain input: any place outside the window is one seek away.
        if (source_->seekable()) return restartDecoding(target);
        // Not seekable (a pipe): forward targets are reached by reading.
        return target > streamPos_ && skipByReading(target);
    }
    // Before the window: only decoding again from the start helps, which a
    // pipe cannot do.
    const std::int64_t windowStart = streamPos_ - static_cast<std::int64_t>(windowLength_);
    if (target < windowStart && !restartDecoding(0)) return false;
    return target <= streamPos_ || skipByReading(target);
}

bool ArchiveInput::skipByReading(std::int64_t target) {
    while (streamPos_ < target) {
        if (!refillWindow()) return false;
    }
    return true;
}

}  // namespace kotar
