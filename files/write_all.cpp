#include "files/write_all.h"

#include <cerrno>
#include <cstdint>
#include <unistd.h>

namespace kotar {

bool writeAll(int descriptor, const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t put = ::write(descriptor, bytes, count);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        count -= static_cast<std::size_t>(put);
    }
    return true;
}

bool writeAllAt(int descriptor, const unsigned char* bytes, std::size_t count, std::uint64_t offset) {
    while (count > 0) {
        if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
        const ssize_t put = ::pwrite(descriptor, bytes, count, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        count -= static_cast<std::size_t>(put);
        offset += static_cast<std::uint64_t>(put);
    }
    return true;
}

}  // namespace kotar
