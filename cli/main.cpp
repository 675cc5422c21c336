#include <csignal>

#include "cli/command_line.h"

int main(int argc, char** argv) {
    // A closed pipe on standard output or standard error is a failed write,
    // reported and cleaned up like any other, not a silent end.
    std::signal(SIGPIPE, SIG_IGN);
    // -1 from a mode becomes exit status 255.
    return kotar::runCommandLine(argc, argv) == 0 ? 0 : 255;
}
