#include "files/byte_source.h"

#include <cerrno>
#include <cstdint>
#include <unistd.h>

namespace kotar {

std::size_t FileByteSource::readAt(std::uint64_t offset, void* buffer, std::size_t count) const {
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t delivered = 0;
    while (delivered < count) {
        if (offset + delivered > static_cast<std::uint64_t>(INT64_MAX)) break;
        const ssize_t got = pread(descriptor_, out + delivered, count - delivered, static_cast<off_t>(offset + delivered));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        delivered += static_cast<std::size_t>(got);
    }
    return delivered;
}

}  // namespace kotar
