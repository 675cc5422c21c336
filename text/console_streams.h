// Standard output and standard error as places a run writes to: a write
// that fails there (a closed pipe, a full disk) fails the run, as a failed
// write to the destination does.
#pragma once

namespace kotar {

// Flushes standard output; true when every write to it and to standard
// error so far has gone out.
bool consoleDelivered();

}  // namespace kotar
