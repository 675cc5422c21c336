#include "cli/command_line.h"

int main(int argc, char** argv) {
    // -1 from a mode becomes exit status 255.
    return kotar::runCommandLine(argc, argv) == 0 ? 0 : 255;
}
