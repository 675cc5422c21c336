#pragma once

namespace kotar {

// Converts the GNU tar (plain or gzip) at inputPath into an indexed archive
// at destinationPath. 0 on success, -1 after a reported failure.
int createArchive(const char* inputPath, const char* destinationPath);

}  // namespace kotar
