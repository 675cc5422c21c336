// An owned file descriptor, closed when its holder goes.
#pragma once

#include <unistd.h>

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

}  // namespace kotar
