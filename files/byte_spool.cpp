#include "files/byte_spool.h"

#include <cerrno>
#include <unistd.h>

#include "files/anonymous_file.h"

namespace kotar {

bool ByteSpool::append(std::string_view bytes, std::uint64_t& offset) {
    if (!file_.valid()) {
        file_ = FileDescriptor(openAnonymousFile(directory_));
        if (!file_.valid()) return false;
    }
    offset = length_;
    while (!bytes.empty()) {
        const ssize_t put = ::pwrite(file_.get(), bytes.data(), bytes.size(), static_cast<off_t>(length_));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(put));
        length_ += static_cast<std::uint64_t>(put);
    }
    return true;
}

}  // namespace kotar
