// Writing a whole buffer to a descriptor, through short writes and signals.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kotar {

// Writes all `count` bytes at the descriptor's position; false on an error
// or when the descriptor takes no more.
bool writeAll(int descriptor, const unsigned char* bytes, std::size_t count);
// The same at `offset`, leaving the descriptor's position alone.
bool writeAllAt(int descriptor, const unsigned char* bytes, std::size_t count, std::uint64_t offset);

}  // namespace kotar
