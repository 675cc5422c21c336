#include "decode/unread_compression.h"

#include <cstring>

namespace kotar {

const char* unreadCompressionOf(const unsigned char* bytes, std::size_t size) {
    if (size >= 4 && std::memcmp(bytes, "LZIP", 4) == 0) return "lzip-compressed";
    if (size >= 2 && bytes[0] == 0x1f && bytes[1] == 0x9d) return "compressed with compress (.Z)";
    // lz4's frame format is read; its legacy format (lz4 -l) is not.
    if (size >= 4 && std::memcmp(bytes, "\x02\x21\x4c\x18", 4) == 0) return "in lz4's legacy format (lz4 -l)";
    return nullptr;
}

}  // namespace kotar
