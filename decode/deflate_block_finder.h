// Finding where a deflate block starts in the middle of a stream, with no
// way to know but the bits themselves: the first position whose bits read
// as the header of a non-final dynamic block with complete codes, as every
// sound encoder writes them. A match may still be a chance one; the
// segment decoder that ends there proves it (see gzip_segments.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kotar {

// The first bit position in [from, to) of `bytes` where such a header
// starts; none when there is none.
std::optional<std::uint64_t> findDynamicBlock(const unsigned char* bytes, std::size_t size, std::uint64_t from, std::uint64_t to);

}  // namespace kotar
