#include "output/path_rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kotar {

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

bool namesStandardOutput(const char* destination) {
    const int held = descriptorNamed(destination);
    struct stat named {};
    struct stat output {};
    return held >= 0 && fstat(held, &named) == 0 && fstat(STDOUT_FILENO, &output) == 0 &&
           named.st_dev == output.st_dev && named.st_ino == output.st_ino;
}

std::string workDirectoryFor(const char* destination) {
    // Such a name is written through the descriptor, never staged beside
    // what it leads to (which may be a file in /dev or /proc).
    if (const int held = descriptorNamed(destination); held >= 0 && fcntl(held, F_GETFD) != -1) return "";
    struct stat status {};
    if (stat(destination, &status) == 0 && !S_ISREG(status.st_mode)) return "";
    const std::string text = destination;
    const std::size_t slash = text.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : text.substr(0, slash);
}

bool isSameFile(const char* first, const char* second) {
    struct stat a {};
    struct stat b {};
    if (stat(first, &a) != 0 || stat(second, &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace kotar
