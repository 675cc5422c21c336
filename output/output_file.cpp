#include "output/output_file.h"

#include <algorithm>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kotar {

namespace {
// Large enough that copying member data costs few system calls.
constexpr std::size_t kOutputBuffer = 256 * 1024;
}  // namespace

OutputFile::~OutputFile() {
    if (file_ != nullptr) std::fclose(file_);
}

int OutputFile::open(const char* path) {
    const int descriptor = staged_.open(path);
    if (descriptor < 0) return -1;
    // Only a regular file is positioned: it reads a gap that is passed
    // over as zeros. Anything else written in place is written front to
    // back, gaps as zeros: a FIFO or a terminal cannot be positioned, and a
    // block device would keep its earlier bytes in the gaps.
    struct stat status {};
    seekable_ = !staged_.sharedDescriptor() && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
    // Write only: on a stream that may also be read, stdio refills its
    // buffer from the file after every seek.
    file_ = fdopen(descriptor, "w");
    if (file_ == nullptr) {
        ::close(descriptor);
        return -1;
    }
    buffer_ = std::make_unique_for_overwrite<char[]>(kOutputBuffer);  // stdio fills it before use
    std::setvbuf(file_, buffer_.get(), _IOFBF, kOutputBuffer);
    return 0;
}

int OutputFile::seek(std::uint64_t position) {
    if (file_ == nullptr || position > static_cast<std::uint64_t>(INT64_MAX)) return -1;
    if (fseeko64(file_, static_cast<off64_t>(position), SEEK_SET) != 0) return -1;
    position_ = position;
    return 0;
}

int OutputFile::padTo(std::uint64_t position) {
    if (file_ == nullptr || position < position_) return -1;
    if (position == position_) return 0;
    if (seekable_) {
        if (seek(position) == 0) return 0;
        seekable_ = false;  // gaps are written from now on
    }
    static constexpr unsigned char kZeros[4096] = {};
    while (position_ < position) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(position - position_, sizeof kZeros));
        if (!write(kZeros, piece)) return -1;
    }
    return 0;
}

bool OutputFile::write(const void* bytes, std::size_t count) {
    if (file_ == nullptr || std::fwrite(bytes, 1, count, file_) != count) return false;
    position_ += count;
    return true;
}

int OutputFile::descriptor() const { return file_ != nullptr && seekable_ ? fileno(file_) : -1; }

int OutputFile::flush() {
    return file_ != nullptr && std::fflush(file_) == 0 ? 0 : -1;
}

int OutputFile::close() {
    if (file_ == nullptr) return -1;
    const bool flushed = std::fflush(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return flushed && closed && staged_.commit() == 0 ? 0 : -1;
}

}  // namespace kotar
