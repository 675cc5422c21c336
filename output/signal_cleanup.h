// The one named temporary file that a signal must not leave behind.
//
// While a file is registered, every signal whose default action ends the
// process removes it and then takes that default course: the signals of the
// terminal and of kill(1) (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, ...),
// those of resource limits (SIGXFSZ from `ulimit -f`, SIGXCPU), the timers,
// the real-time signals, and a fault (SIGSEGV, SIGBUS, SIGABRT, ...).
// SIGKILL cannot be caught. A signal the process was started to ignore
// stays ignored, and a handler someone else installed (a sanitizer's) stays
// in place.
//
// The handler does only what is safe in a signal: unlinkat() of a name held
// ready beforehand in a fixed buffer, relative to a directory descriptor.
#pragma once

#include <csignal>
#include <string_view>

namespace kotar {

// Blocks, for its lifetime, the asynchronous signals above, so that the
// registered file and what is on disk change together, and a copy into an
// existing file is not cut short.
class CleanupSignalsBlocked {
public:
    CleanupSignalsBlocked();
    ~CleanupSignalsBlocked();
    CleanupSignalsBlocked(const CleanupSignalsBlocked&) = delete;
    CleanupSignalsBlocked& operator=(const CleanupSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

// Makes `name` in the open directory `directory` the file that a signal
// removes, installing the handlers. Call with the signals blocked, before
// the file is created. False when the name does not fit (longer than a
// file name can be).
bool removeOnSignal(int directory, std::string_view name);

// No file to remove any more. Call with the signals blocked.
void forgetRemovalOnSignal();

}  // namespace kotar
