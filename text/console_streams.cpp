#include "text/console_streams.h"

#include <cstdio>

namespace kotar {

bool consoleDelivered() {
    const bool flushed = std::fflush(stdout) == 0;
    return flushed && !std::ferror(stdout) && !std::ferror(stderr);
}

}  // namespace kotar
