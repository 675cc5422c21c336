#pragma once

namespace kotar {

// Converts the indexed archive (ktar or kgz) at inputPath back into a plain
// GNU tar at destinationPath. 0 on success, -1 after a reported failure.
int extractArchive(const char* inputPath, const char* destinationPath);

}  // namespace kotar
