// An owned file descriptor, closed when its holder goes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <utility>

namespace kotar {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~FileDescriptor() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    FileDescriptor(FileDescriptor&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        std::swap(descriptor_, other.descriptor_);
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return descriptor_; }
    // Gives the descriptor up to the caller, who closes it from then on.
    int release() { return std::exchange(descriptor_, -1); }
    bool valid() const { return descriptor_ >= 0; }

private:
    int descriptor_ = -1;
};

// The lowest number for a descriptor that kotar opens for writing, or takes
// over from one it inherited: with standard output or error closed at the
// start, a file given that number would take in the messages, the progress
// line, the trace or the listing written there.
inline constexpr int kFirstOwnDescriptor = STDERR_FILENO + 1;

// `descriptor`, when it took the number of a standard stream, moved to
// kFirstOwnDescriptor or above (close-on-exec) and the low number closed
// again; -1 stays -1, and so does a descriptor that cannot move (it is
// closed, errno saying why).
inline int clearOfStandardStreams(int descriptor) {
    if (descriptor < 0 || descriptor >= kFirstOwnDescriptor) return descriptor;
    const int moved = ::fcntl(descriptor, F_DUPFD_CLOEXEC, kFirstOwnDescriptor);
    const int error = errno;
    ::close(descriptor);
    errno = error;
    return moved;
}

}  // namespace kotar
