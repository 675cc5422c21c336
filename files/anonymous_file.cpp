#include "files/anonymous_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "files/file_descriptor.h"

namespace kotar {

namespace {

int openAnonymousIn(const std::string& directory) {
    const int descriptor = clearOfStandardStreams(::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (descriptor >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return descriptor;
    // No O_TMPFILE on this file system: a named file, unlinked at once.
    std::string name = directory + "/.kotar-XXXXXX";
    const int named = mkostemp(name.data(), O_CLOEXEC);
    if (named >= 0) unlink(name.c_str());
    return clearOfStandardStreams(named);
}

}  // namespace

int openAnonymousFile(const std::string& directory) {
    const int descriptor = directory.empty() ? -1 : openAnonymousIn(directory);
    if (descriptor >= 0) return descriptor;
    const char* temporary = std::getenv("TMPDIR");
    return openAnonymousIn(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp");
}

}  // namespace kotar
