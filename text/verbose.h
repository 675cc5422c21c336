// The process-wide trace flag, set by -v before a mode starts. Creation and
// the executable analysis read it; nothing else does.
#pragma once

namespace kotar {

inline bool verbose = false;

}  // namespace kotar
