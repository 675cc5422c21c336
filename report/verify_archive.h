#pragma once

#include <cstdint>

#include "format/header_block.h"
#include "format/indexed_layout.h"

namespace kotar {

// Checks the indexed archive (an uncompressed ktar) at path: every header's
// magic and checksum; every member's data after the table, inside the file,
// in table order and not overlapping; every aligned executable on a 4096-byte
// boundary (and on executableAlignment, when larger), starting with the ELF
// magic, and with the text offset and page counts that a fresh analysis of
// its data gives. Prints one line per problem on standard output, naming the
// member, then a summary line. 0 when there is no problem, else -1.
int verifyArchive(const char* path, std::uint64_t executableAlignment = kPageSize);

}  // namespace kotar
