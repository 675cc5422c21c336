// The rules that a destination's path decides: whether it names a
// descriptor the process holds, where a run's temporary files go, and
// whether two paths name one file.
#pragma once

#include <string>
#include <string_view>

namespace kotar {

// The descriptor that a name for one of the process's own stands for
// (/dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N), or
// -1 for any other name.
int descriptorNamed(std::string_view path);

// True when `destination` names a held descriptor ("-" comes as
// /dev/stdout) that leads to the same file as standard output.
bool namesStandardOutput(const char* destination);

// Where the temporary files of a run that writes `destination` go: beside a
// regular or new destination, on the file system that must hold the result
// anyway; for a name of a held descriptor (whatever is behind it) and for
// any other destination (a pipe, a device) none is named (""), and they go
// to $TMPDIR, else /tmp.
std::string workDirectoryFor(const char* destination);

// True when both paths name the same existing file (through links too).
bool isSameFile(const char* first, const char* second);

}  // namespace kotar
