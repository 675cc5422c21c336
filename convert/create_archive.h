#pragma once

#include <cstdint>

#include "format/header_block.h"
#include "format/indexed_layout.h"

namespace kotar {

// Converts the GNU tar (plain or gzip) at inputPath into an indexed archive
// at destinationPath, placing aligned executables on executableAlignment
// boundaries (4096, 16384 or 65536). 0 on success, -1 after a reported
// failure.
int createArchive(const char* inputPath, const char* destinationPath,
                  std::uint64_t executableAlignment = kPageSize);

}  // namespace kotar
