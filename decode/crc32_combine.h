// The CRC-32 of two pieces of data one after the other, from the CRC-32 of
// each and the second one's length: how the halves of a gzip member that
// were decoded apart are checked against its trailer.
#pragma once

#include <cstdint>

namespace kotar {

// The CRC-32 (gzip's, as ISA-L's crc32_gzip_refl gives it) of A followed
// by B, from `first` (A's), `second` (B's) and B's length.
std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength);

}  // namespace kotar
