#include "output/signal_cleanup.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kotar {

namespace {

// Sent from outside the process, or by the kernel for a limit or a timer:
// these are blocked while the registered file and the disk change.
constexpr int kAsynchronousSignals[] = {
    SIGHUP, SIGINT,  SIGQUIT,   SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
    SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR,
};
// Raised by what the process itself does; never blocked.
constexpr int kFaultSignals[] = {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS};

// The file to remove: read by the handler only while `pendingSet` is 1;
// both change only with the asynchronous signals blocked.
char pendingName[NAME_MAX + 1];
int pendingDirectory = -1;
volatile std::sig_atomic_t pendingSet = 0;

extern "C" void removePendingAndResignal(int signalNumber) {
    if (pendingSet) unlinkat(pendingDirectory, pendingName, 0);
    // Installed with SA_RESETHAND: the signal, raised again, is delivered
    // with its default action as soon as this handler returns.
    std::raise(signalNumber);
}

void installOne(int signalNumber) {
    struct sigaction previous {};
    if (sigaction(signalNumber, nullptr, &previous) != 0) return;
    const bool ours = previous.sa_handler == removePendingAndResignal;
    if (!ours && previous.sa_handler != SIG_DFL) return;  // ignored, or another's handler
    struct sigaction action {};
    action.sa_handler = removePendingAndResignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
}

void installHandlers() {
    for (const int signalNumber : kAsynchronousSignals) installOne(signalNumber);
    for (const int signalNumber : kFaultSignals) installOne(signalNumber);
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) installOne(signalNumber);
}

}  // namespace

CleanupSignalsBlocked::CleanupSignalsBlocked() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signalNumber : kAsynchronousSignals) sigaddset(&blocked, signalNumber);
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) sigaddset(&blocked, signalNumber);
    sigprocmask(SIG_BLOCK, &blocked, &previous_);
}

CleanupSignalsBlocked::~CleanupSignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

bool removeOnSignal(int directory, std::string_view name) {
    if (name.empty() || name.size() >= sizeof pendingName) return false;
    installHandlers();
    std::memcpy(pendingName, name.data(), name.size());
    pendingName[name.size()] = '\0';
    pendingDirectory = directory;
    pendingSet = 1;
    return true;
}

void forgetRemovalOnSignal() { pendingSet = 0; }

}  // namespace kotar
