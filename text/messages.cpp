#include "text/messages.h"

#include <cstdio>

#include "text/progress_line.h"

namespace kotar {

int fail(const char* message) {
    progressClear();
    std::fputs(message, stderr);
    return -1;
}

int noteUnreadCompression(const char* what) {
    if (what != nullptr) std::fprintf(stderr, message::kUnreadCompression, what);
    return -1;
}

}  // namespace kotar
