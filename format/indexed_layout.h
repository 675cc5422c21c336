// The indexed archive (ktar; a kgz is the same bytes gzip-compressed):
//
//   0                      header table: one header block per source member,
//                          in source order, magic "kerix  \0"; a 'K' or 'L'
//                          header is followed by its ceil(size / 512) name blocks
//   T * 512                one zero block
//   (T + 1) * 512          data area: the data of every member with a size,
//                          in header order, each at its header's dataOffset
//                          (a multiple of 512, or of 4096 for an executable
//                          aligned as type '7'); gaps are never written
//   end                    the last byte of the last member's data
//
// Every rounded data cursor stays below 2^31: an archive holds at most 2 GiB.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/header_block.h"

namespace kotar {

inline constexpr std::uint64_t kArchiveLimit = std::uint64_t{1} << 31;

// The boundary of an aligned executable's data, and the unit of its page
// counts.
inline constexpr std::size_t kPageSize = 4096;

// The largest member size whose padded data stays in the 32-bit range.
inline constexpr std::uint64_t kLargestMemberSize = kArchiveLimit - kBlockSize - 1;

// value rounded up to a multiple of alignment (a power of two).
constexpr std::uint64_t roundUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

// Blocks taken by a long-name text, or by the padded data, of `size` bytes.
constexpr std::uint64_t blocksFor(std::uint64_t size) { return (size + 511) / 512; }

}  // namespace kotar
