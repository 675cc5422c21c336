#include "output/staged_destination.h"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kotar {

namespace {

constexpr std::array kCleanupSignals{SIGINT, SIGTERM, SIGHUP};

// The temporary file that a signal must remove. The handler reads it only
// while `pendingSet` is 1; both change only with those signals blocked.
char pendingPath[PATH_MAX];
volatile std::sig_atomic_t pendingSet = 0;

extern "C" void removePendingAndResignal(int signalNumber) {
    if (pendingSet) unlink(pendingPath);
    // The handler was installed with SA_RESETHAND: the signal, raised again
    // when this handler returns, takes its default course.
    std::raise(signalNumber);
}

// Blocks the cleanup signals for the lifetime of the object.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (const int signalNumber : kCleanupSignals) sigaddset(&blocked, signalNumber);
        sigprocmask(SIG_BLOCK, &blocked, &previous_);
    }
    ~SignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

void installCleanupHandlers() {
    struct sigaction action {};
    action.sa_handler = removePendingAndResignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : kCleanupSignals) {
        struct sigaction previous {};
        // A signal that the process was started to ignore stays ignored.
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signalNumber, &action, nullptr);
    }
}

// The file a destination path finally names: the end of a chain of
// symbolic links, followed one link at a time so that a link to a file not
// yet made names that file too. A chain that does not end (a loop) is left
// to open(2) to refuse.
std::string resolveTarget(const char* path) {
    std::string current = path;
    for (int links = 0; links < 40; ++links) {
        struct stat status {};
        if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return current;
        char link[PATH_MAX];
        const ssize_t length = readlink(current.c_str(), link, sizeof link);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link) return path;
        const std::string_view text(link, static_cast<std::size_t>(length));
        const std::size_t slash = current.rfind('/');
        current = text.front() == '/' || slash == std::string::npos
                      ? std::string(text)
                      : current.substr(0, slash + 1) + std::string(text);
    }
    return path;
}

// The permission bits that a new file gets from open(2) with mode 0666.
mode_t newFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

std::string stagingTemplate(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    return directory + "." + name + ".XXXXXX";
}

}  // namespace

StagedDestination::~StagedDestination() { discard(); }

namespace {

// The descriptor that a name for one of the process's own stands for
// (/dev/stdout, /dev/fd/N, /proc/self/fd/N), or -1 for any other name.
int descriptorNamed(std::string_view path) {
    if (path == "/dev/stdin") return 0;
    if (path == "/dev/stdout") return 1;
    if (path == "/dev/stderr") return 2;
    for (const std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (!path.starts_with(prefix) || path.size() == prefix.size() || path.size() > prefix.size() + 9) continue;
        int number = 0;
        for (const char c : path.substr(prefix.size())) {
            if (c < '0' || c > '9') return -1;
            number = number * 10 + (c - '0');
        }
        return number;
    }
    return -1;
}

}  // namespace

int StagedDestination::open(const char* path) {
    // The caller means that open file, whatever is behind it, at its own
    // offset: what is written to it after kotar must follow kotar's bytes.
    if (const int held = descriptorNamed(path); held >= 0 && fcntl(held, F_GETFD) != -1) {
        sharedDescriptor_ = true;
        return fcntl(held, F_DUPFD_CLOEXEC, 0);
    }
    target_ = resolveTarget(path);
    struct stat existing {};
    const bool exists = stat(target_.c_str(), &existing) == 0;
    const bool stageable = exists ? S_ISREG(existing.st_mode) : errno == ENOENT;
    // A destination the process may not write is refused, as opening it
    // in place would be, even though a rename could replace it.
    if (!stageable || (exists && access(target_.c_str(), W_OK) != 0)) {
        return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }

    std::string staging = stagingTemplate(target_);
    if (staging.size() >= sizeof pendingPath) return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    int descriptor = -1;
    {
        // The handlers are in place before the file exists, and the file
        // is known to them before a signal can come.
        const SignalsBlocked blocked;
        installCleanupHandlers();
        descriptor = mkostemp(staging.data(), O_CLOEXEC);
        if (descriptor >= 0) {
            std::memcpy(pendingPath, staging.c_str(), staging.size() + 1);
            pendingSet = 1;
        }
    }
    if (descriptor < 0) {
        // No temporary file can be created beside it (a directory that is
        // not writable, say): the destination is written in place.
        return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    staging_ = std::move(staging);
    if (exists) {
        // Best effort: only root may give a file to another owner.
        [[maybe_unused]] const int owned = fchown(descriptor, existing.st_uid, existing.st_gid);
    }
    fchmod(descriptor, exists ? existing.st_mode & 07777 : newFileMode());
    return descriptor;
}

int StagedDestination::commit() {
    if (staging_.empty()) return 0;
    int renamed = -1;
    {
        const SignalsBlocked blocked;
        renamed = std::rename(staging_.c_str(), target_.c_str());
        if (renamed == 0) {
            pendingSet = 0;
            staging_.clear();
        }
    }
    return renamed == 0 ? 0 : -1;  // on failure, discard() removes the file
}

void StagedDestination::discard() {
    if (staging_.empty()) return;
    const SignalsBlocked blocked;
    unlink(staging_.c_str());
    pendingSet = 0;
    staging_.clear();
}

}  // namespace kotar
