#include "output/staged_destination.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "files/anonymous_file.h"
#include "output/copy_in_place.h"
#include "output/extended_attributes.h"
#include "output/path_rules.h"
#include "output/signal_cleanup.h"

namespace kotar {

namespace {

struct PathParts {
    std::string directory;
    std::string name;  // empty for a path that ends in '/'
};

PathParts splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The path that names the open file now, found from the descriptor (the
// kernel's record of what it opened); "" when none is known to.
std::string nameOfOpenFile(int descriptor, const struct stat& status, const char* givenPath) {
    const std::string record = "/proc/self/fd/" + std::to_string(descriptor);
    char link[PATH_MAX];
    const ssize_t length = readlink(record.c_str(), link, sizeof link);
    struct stat named {};
    if (length > 0 && static_cast<std::size_t>(length) < sizeof link && link[0] == '/') {
        std::string name(link, static_cast<std::size_t>(length));
        if (stat(name.c_str(), &named) == 0 && sameFile(named, status)) return name;
    }
    // Without /proc: the path given, when it is no link and names the file.
    if (lstat(givenPath, &named) == 0 && S_ISREG(named.st_mode) && sameFile(named, status)) return givenPath;
    return "";
}

// ".NAME." for the temporary file beside NAME: with the six characters that
// follow, never longer than a file name may be. A long NAME is shortened,
// at a character boundary where it is UTF-8.
std::string stagingPrefix(std::string_view name) {
    constexpr std::size_t kRoom = NAME_MAX - 8;  // two dots and six characters
    std::size_t keep = std::min(name.size(), kRoom);
    while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    std::string prefix(1, '.');
    prefix.append(name.substr(0, keep)).push_back('.');
    return prefix;
}

// Creates PREFIX followed by six random characters in `directory`,
// exclusively, and registers it for removal on a signal. Returns its
// descriptor, or -1.
int createUniqueIn(int directory, const std::string& prefix, mode_t mode, std::string& name) {
    static constexpr char kCharacters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 64; ++attempt) {
        unsigned char random[6] = {};
        if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
            timespec now {};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const auto mixed = static_cast<unsigned long long>(now.tv_nsec) ^ (static_cast<unsigned long long>(getpid()) << 20);
            for (std::size_t i = 0; i < sizeof random; ++i) random[i] = static_cast<unsigned char>(mixed >> (i * 7));
        }
        name = prefix;
        for (const unsigned char byte : random) name += kCharacters[byte % (sizeof kCharacters - 1)];
        // The handler knows the name before the file exists.
        const CleanupSignalsBlocked blocked;
        if (!removeOnSignal(directory, name)) return -1;
        const int descriptor = openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (descriptor >= 0) {
            const int kept = clearOfStandardStreams(descriptor);
            if (kept >= 0) return kept;
            unlinkat(directory, name.c_str(), 0);
            forgetRemovalOnSignal();
            return -1;
        }
        forgetRemovalOnSignal();
        if (errno != EEXIST) return -1;
    }
    return -1;
}

}  // namespace

StagedDestination::~StagedDestination() { discard(); }

int StagedDestination::open(const char* path) {
    // The caller means that open file, whatever is behind it, at its own
    // offset: what is written to it after kotar must follow kotar's bytes.
    if (const int held = descriptorNamed(path); held >= 0 && fcntl(held, F_GETFD) != -1) {
        sharedDescriptor_ = true;
        return fcntl(held, F_DUPFD_CLOEXEC, kFirstOwnDescriptor);
    }
    // Never O_TRUNC: the earlier content stays until the result is whole.
    // A file the process may not write is refused here, as writing it in
    // place would be, even where a rename could replace it.
    FileDescriptor file(clearOfStandardStreams(::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC)));
    if (!file.valid()) {
        if (errno != ENOENT) return -1;
        struct stat link {};
        if (lstat(path, &link) != 0) return openNew(path);
        if (!S_ISLNK(link.st_mode)) return -1;
        // A symbolic link to a file not yet made: the kernel follows it
        // and makes the file, only to say where it lies; it goes again at
        // once, and the result is made there like any new file. A signal
        // in between would leave it, empty, where the link leads.
        struct stat made {};
        std::string name;
        bool madeHere = false;
        {
            const CleanupSignalsBlocked blocked;
            file = FileDescriptor(clearOfStandardStreams(::open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666)));
            if (!file.valid() || fstat(file.get(), &made) != 0) return -1;
            name = nameOfOpenFile(file.get(), made, path);
            madeHere = !name.empty() && S_ISREG(made.st_mode) && made.st_size == 0;
            if (madeHere) unlink(name.c_str());
        }
        if (madeHere) return openNew(name);
        // No name for it (no /proc): it is written like an existing file,
        // and stays, empty, after a failure.
        return openExisting(std::move(file), made, name, path);
    }
    struct stat status {};
    if (fstat(file.get(), &status) != 0) return -1;
    if (!S_ISREG(status.st_mode)) return file.release();  // a device, a FIFO: written in place
    const std::string name = nameOfOpenFile(file.get(), status, path);
    return openExisting(std::move(file), status, name, path);
}

int StagedDestination::openNew(const std::string& path) {
    const PathParts parts = splitPath(path);
    if (parts.name.empty() || parts.name == "." || parts.name == ".." || parts.name.size() > NAME_MAX) {
        errno = parts.name.size() > NAME_MAX ? ENAMETOOLONG : ENOENT;
        return -1;
    }
    // Made as open(2) would make it, with mode 0666 less the umask (or the
    // directory's default ACL), so that the rename gives the same file.
    return createNamedStaging(parts.directory, parts.name, 0666);
}

int StagedDestination::openExisting(FileDescriptor file, const struct stat& status, const std::string& realName,
                                    const std::string& givenPath) {
    existing_ = std::move(file);
    // Where a rename may keep everything, try it: a name known to lead to
    // the file, one link, and an owner the process is or may set.
    const bool mayRename = !realName.empty() && status.st_nlink == 1 && (status.st_uid == geteuid() || geteuid() == 0);
    if (mayRename) {
        const PathParts parts = splitPath(realName);
        const int descriptor = createNamedStaging(parts.directory, parts.name, 0600);
        if (descriptor >= 0) return descriptor;
    }
    // Copied in place at the end, from a file beside it, else in $TMPDIR.
    const int descriptor = openAnonymousFile(splitPath(realName.empty() ? givenPath : realName).directory);
    return descriptor < 0 ? -1 : keep(descriptor);
}

int StagedDestination::createNamedStaging(const std::string& directoryPath, const std::string& targetName,
                                          mode_t mode) {
    FileDescriptor directory(::open(directoryPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid()) return -1;
    std::string name;
    const int descriptor = createUniqueIn(directory.get(), stagingPrefix(targetName), mode, name);
    if (descriptor < 0) return -1;
    directory_ = std::move(directory);
    stagingName_ = std::move(name);
    targetName_ = targetName;
    return keep(descriptor);
}

// Keeps a second descriptor of the temporary file, which outlives the one
// the caller writes through and closes.
int StagedDestination::keep(int stagingDescriptor) {
    staging_ = FileDescriptor(fcntl(stagingDescriptor, F_DUPFD_CLOEXEC, kFirstOwnDescriptor));
    if (!staging_.valid()) {
        ::close(stagingDescriptor);
        discard();
        return -1;
    }
    staged_ = true;
    return stagingDescriptor;
}

int StagedDestination::commit() {
    if (!staged_) return 0;
    if (!existing_.valid()) return renameIntoPlace();  // a new file
    if (!stagingName_.empty() && takeOnWhatRenameWouldLose() && renameIntoPlace() == 0) return 0;
    // A rename would lose something, or was refused (a sticky directory,
    // say): the file itself takes the result.
    if (copyInPlace(staging_.get(), existing_.get()) != 0) return -1;
    discard();
    return 0;
}

// Gives the temporary file the existing file's owner, group, permission
// bits and extended attributes (its ACLs among them). False when the
// existing file is not what was opened any more, has gained a link, or
// anything of it cannot be given.
bool StagedDestination::takeOnWhatRenameWouldLose() {
    struct stat now {};
    struct stat named {};
    struct stat staged {};
    if (fstat(existing_.get(), &now) != 0 || now.st_nlink != 1 || fstat(staging_.get(), &staged) != 0) return false;
    if (fstatat(directory_.get(), targetName_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(named, now)) {
        return false;
    }
    if ((staged.st_uid != now.st_uid || staged.st_gid != now.st_gid) &&
        fchown(staging_.get(), now.st_uid, now.st_gid) != 0) {
        return false;
    }
    // After the owner: a change of owner clears the set-user-ID bits.
    if (fchmod(staging_.get(), now.st_mode & 07777) != 0) return false;
    ExtendedAttributes attributes;
    return attributes.read(existing_.get()) && attributes.applyExactlyTo(staging_.get());
}

int StagedDestination::renameIntoPlace() {
    const CleanupSignalsBlocked blocked;
    if (renameat(directory_.get(), stagingName_.c_str(), directory_.get(), targetName_.c_str()) != 0) return -1;
    forgetRemovalOnSignal();
    stagingName_.clear();
    staged_ = false;
    return 0;
}

void StagedDestination::discard() {
    if (!stagingName_.empty()) {
        const CleanupSignalsBlocked blocked;
        unlinkat(directory_.get(), stagingName_.c_str(), 0);
        forgetRemovalOnSignal();
        stagingName_.clear();
    }
    staging_ = FileDescriptor();
    existing_ = FileDescriptor();
    directory_ = FileDescriptor();
    staged_ = false;
}

}  // namespace kotar
