#include "cli/command_line.h"

#include <cstdio>
#include <unistd.h>

#include "archive/verbose.h"
#include "convert/create_archive.h"
#include "convert/extract_archive.h"
#include "convert/list_archive.h"

namespace kotar {

namespace {

enum class Mode { none, extract, create, list };

void printUsage() {
    static constexpr char kUsage[] =
        "Usage: kotar {[-x ktar/kgz-file] [-c tar/tgz-file] [-v] -o destination} | -t < ktar/kgz-file\n";
    static_assert(sizeof kUsage - 1 == 93);
    std::fwrite(kUsage, 1, sizeof kUsage - 1, stderr);
}

}  // namespace

int runCommandLine(int argc, char** argv) {
    Mode mode = Mode::none;
    const char* inputPath = nullptr;
    const char* destinationPath = nullptr;

    for (int option; (option = getopt(argc, argv, "x:c:o:t::v")) != -1;) {
        switch (option) {
            case 'x':
                mode = Mode::extract;
                inputPath = optarg;
                break;
            case 'c':
                mode = Mode::create;
                inputPath = optarg;
                break;
            case 't':
                mode = Mode::list;
                inputPath = optarg;  // only an attached argument: -tPATH
                break;
            case 'o':
                destinationPath = optarg;
                break;
            case 'v':
                verbose = true;
                break;
            default:  // getopt has printed its own diagnostic
                printUsage();
                return -1;
        }
    }

    if (mode == Mode::list) return listArchive(inputPath);
    if (destinationPath == nullptr || mode == Mode::none) {
        printUsage();
        return -1;
    }
    return mode == Mode::extract ? extractArchive(inputPath, destinationPath)
                                 : createArchive(inputPath, destinationPath);
}

}  // namespace kotar
