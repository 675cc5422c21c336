#include "decode/unread_compression.h"

#include <cstring>

namespace kotar {

const char* unreadCompressionOf(const unsigned char* bytes, std::size_t size) {
    if (size >= 4 && std::memcmp(bytes, "LZIP", 4) == 0) return "lzip-compressed";
    if (size >= 2 && bytes[0] == 0x1f && bytes[1] == 0x9d) return "compressed with compress (.Z)";
    return nullptr;
}

}  // namespace kotar
