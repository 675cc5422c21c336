#include "convert/create_archive.h"

#include <cstdio>

namespace kotar {

int createArchive(const char*, const char*) {
    std::fputs("kotar: -c is not available in this build\n", stderr);
    return -1;
}

}  // namespace kotar
