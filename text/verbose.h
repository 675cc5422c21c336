// The process-wide trace flag, set by -v before a mode starts. Creation and
// the executable analysis read it; nothing else does.
#pragma once

#include <cstdio>

namespace kotar {

inline bool verbose = false;

// Where the analysis prints its trace lines: standard output, or standard
// error when the archive itself goes to standard output, where the lines
// would land among its bytes.
inline std::FILE* traceOutput = stdout;

}  // namespace kotar
