// Writing a whole buffer to a descriptor, through short writes and signals.
#pragma once

#include <cstddef>

namespace kotar {

// Writes all `count` bytes at the descriptor's position; false on an error
// or when the descriptor takes no more.
bool writeAll(int descriptor, const unsigned char* bytes, std::size_t count);

}  // namespace kotar
