// Copying member data from the input to the output, shared by creation and
// extraction.
#pragma once

#include <cstdint>

#include "archive/archive_input.h"
#include "archive/output_file.h"

namespace kotar {

enum class CopyOutcome { copied, readFailed, writeFailed };

// Copies `size` bytes from the input's read position to the output's
// position. The bytes move in pieces of at most COPY_CHUNK, and a piece that
// the input cannot fill is not written. Between two plain files they move in
// larger pieces straight from file to file, with the same result.
CopyOutcome copyMemberData(ArchiveInput& input, OutputFile& output, std::uint64_t size);

}  // namespace kotar
