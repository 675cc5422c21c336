#include "files/write_all.h"

#include <cerrno>
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

}  // namespace kotar
