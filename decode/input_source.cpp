#include "decode/input_source.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "files/file_descriptor.h"

namespace kotar {

namespace {

// One read(2) asks for up to this much; the buffer holds two, so a decoder
// that left a few bytes unconsumed still gets a whole piece more.
constexpr std::size_t kReadSize = 256 * 1024;
constexpr std::size_t kBufferSize = 2 * kReadSize;

}  // namespace

InputSource::InputSource(int descriptor) {
    // Owned from here, and closed should the buffer not be had.
    FileDescriptor owned(descriptor);
    // Not cleared: only the bytes that read(2) stored are ever used.
    buffer_ = std::make_unique_for_overwrite<unsigned char[]>(kBufferSize);
    descriptor_ = owned.release();
    if (descriptor_ >= 0) start_ = lseek(descriptor_, 0, SEEK_CUR);
    if (start_ < 0) start_ = -1;
    struct stat status {};
    if (descriptor_ >= 0 && (fstat(descriptor_, &status) != 0 || !S_ISREG(status.st_mode))) {
        wakeup_ = clearOfStandardStreams(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    }
}

InputSource::~InputSource() {
    if (descriptor_ >= 0) close(descriptor_);
    if (wakeup_ >= 0) close(wakeup_);
}

void InputSource::interrupt() {
    interrupted_.store(true);
    if (wakeup_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t put = ::write(wakeup_, &one, sizeof one);
    }
}

void InputSource::resume() {
    if (wakeup_ >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(wakeup_, &count, sizeof count);
    }
    interrupted_.store(false);
}

// Waits until the descriptor has bytes (or its end) to read: false when
// interrupted first.
bool InputSource::waitForInput() {
    if (wakeup_ < 0) return !interrupted_.load();
    for (;;) {
        if (interrupted_.load()) return false;
        pollfd watched[2] = {{descriptor_, POLLIN, 0}, {wakeup_, POLLIN, 0}};
        const int ready = poll(watched, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0 || (watched[1].revents & POLLIN) != 0) return false;
        if (watched[0].revents != 0) return true;  // bytes, the end, or an error that read() reports
    }
}

InputSource::Fill InputSource::fill() {
    if (descriptor_ < 0) return Fill::failed;
    if (begin_ == end_) {
        begin_ = 0;
        end_ = 0;
    } else if (kBufferSize - end_ < kReadSize && begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == kBufferSize) return Fill::failed;
    const std::int64_t got = readDirect(buffer_.get() + end_, limited(kBufferSize - end_));
    if (got < 0) return Fill::failed;
    if (got == 0) return Fill::end;
    end_ += static_cast<std::size_t>(got);
    return Fill::more;
}

InputSource::Fill InputSource::ensure(std::size_t count) {
    while (size() < count) {
        const Fill filled = fill();
        if (filled != Fill::more) return filled;
    }
    return Fill::more;
}

bool InputSource::seekTo(std::int64_t offset) {
    std::int64_t target = 0;
    if (start_ < 0 || offset < 0 || __builtin_add_overflow(start_, offset, &target)) return false;
    if (lseek(descriptor_, static_cast<off_t>(target), SEEK_SET) != target) return false;
    begin_ = 0;
    end_ = 0;
    return true;
}

std::int64_t InputSource::readDirect(unsigned char* out, std::size_t count) {
    for (;;) {
        if (!waitForInput()) return -1;
        const ssize_t got = ::read(descriptor_, out, limited(count));
        if (got > 0) bytesRead_.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

std::int64_t InputSource::length() const {
    struct stat status {};
    if (start_ < 0 || wakeup_ >= 0 || fstat(descriptor_, &status) != 0 || status.st_size < start_) return -1;
    return status.st_size - start_;
}

std::int64_t InputSource::readAt(std::int64_t offset, unsigned char* out, std::size_t count) {
    std::int64_t at = 0;
    if (start_ < 0 || offset < 0 || __builtin_add_overflow(start_, offset, &at)) return -1;
    for (;;) {
        if (interrupted_.load()) return -1;
        const ssize_t got = ::pread(descriptor_, out, limited(count), static_cast<off_t>(at));
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

}  // namespace kotar
