#include "convert/extract_archive.h"

#include <cstdio>

namespace kotar {

int extractArchive(const char*, const char*) {
    std::fputs("kotar: -e is not available in this build\n", stderr);
    return -1;
}

}  // namespace kotar
