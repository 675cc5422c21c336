// Unlinked temporary files: the working space of creation and extraction
// (the kept input, the spilled header table, kept pax records). They vanish
// with the process, however it ends.
#pragma once

#include <string>

namespace kotar {

// Opens an unlinked temporary file for reading and writing in `directory`
// (when not empty), or in $TMPDIR (or /tmp) when that fails. -1 when none
// can be had.
int openAnonymousFile(const std::string& directory);

}  // namespace kotar
