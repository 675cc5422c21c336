#pragma once

namespace kotar {

// Prints one line per member of the indexed archive at inputPath, or on
// standard input when inputPath is null. 0 on success, -1 after a reported
// failure.
int listArchive(const char* inputPath);

}  // namespace kotar
