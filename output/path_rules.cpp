#include "output/path_rules.h"

#include <sys/stat.h>

namespace kotar {

std::string workDirectoryFor(const char* destination) {
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
