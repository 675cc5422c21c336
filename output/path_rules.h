// The rules that a destination's path decides: where a run's temporary files
// go, and whether two paths name one file.
#pragma once

#include <string>

namespace kotar {

// Where the temporary files of a run that writes `destination` go: beside a
// regular or new destination, on the file system that must hold the result
// anyway; for any other destination (a pipe, a device) none is named (""),
// and they go to the temporary directory.
std::string workDirectoryFor(const char* destination);

// True when both paths name the same existing file (through links too).
bool isSameFile(const char* first, const char* second);

}  // namespace kotar
