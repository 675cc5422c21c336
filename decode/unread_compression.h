// Compressions that kotar recognises by their magic number but does not
// decode, so that a refusal can say what the input is:
//
//   4c 5a 49 50   "LZIP"   lzip
//   1f 9d                  compress (.Z)
//   02 21 4c 18            lz4's legacy format (lz4 -l)
#pragma once

#include <cstddef>

namespace kotar {

// What the input is, worded for "the input is %s, which kotar does not
// read": "lzip-compressed", ...; null when its first bytes are no such
// magic number.
const char* unreadCompressionOf(const unsigned char* bytes, std::size_t size);

}  // namespace kotar
