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
//
// An indexed header is a GNU header block with its own magic, "kerix  \0",
// and the last 16 bytes of the GNU prefix area (bytes 496..511) holding four
// unsigned 32-bit little-endian fields:
//      496  dataOffset   absolute offset of the member's data in the archive
//      500  textOffset   aligned executable: file offset of its text segment
//      504  textPgs      aligned executable: whole 4096-byte text pages
//      508  fixUpPgs     aligned executable: text pages touched by relocations
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/header_block.h"

namespace kotar {

namespace field {
inline constexpr HeaderField extension{496, 16};  // the four indexed fields
}  // namespace field

// Offsets of the indexed-form extension fields.
inline constexpr std::size_t kDataOffsetAt = 496;
inline constexpr std::size_t kTextOffsetAt = 500;
inline constexpr std::size_t kTextPgsAt = 504;
inline constexpr std::size_t kFixUpPgsAt = 508;

static_assert(kDataOffsetAt == 496 && kTextOffsetAt == 500);
static_assert(field::prefix.offset + field::prefix.width == kTextOffsetAt);

inline constexpr Magic kIndexedMagic{'k', 'e', 'r', 'i', 'x', ' ', ' ', '\0'};

// An executable placed on a page boundary, its text segment described in
// the extension fields.
inline constexpr unsigned char kTypeAlignedExecutable = '7';

// A header in its final form: the indexed magic and the signed sum, as
// creation writes it.
void finishIndexedHeader(HeaderBlock& block);

std::uint32_t readExtensionField(const HeaderBlock& block, std::size_t offset);
void writeExtensionField(HeaderBlock& block, std::size_t offset, std::uint32_t value);

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
