// Little-endian integer access at any alignment. The header block's extension
// fields and every ELF field are little-endian; these helpers go through
// memcpy so that no byte pointer is ever cast to an integer pointer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace kotar {

static_assert(std::endian::native == std::endian::little,
              "kotar reads and writes little-endian fields directly");

template <typename T>
inline T readLe(const unsigned char* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

inline std::uint16_t readLe16(const unsigned char* bytes) { return readLe<std::uint16_t>(bytes); }
inline std::uint32_t readLe32(const unsigned char* bytes) { return readLe<std::uint32_t>(bytes); }
inline std::uint64_t readLe64(const unsigned char* bytes) { return readLe<std::uint64_t>(bytes); }

inline void writeLe32(unsigned char* bytes, std::uint32_t value) {
    std::memcpy(bytes, &value, sizeof value);
}

}  // namespace kotar
