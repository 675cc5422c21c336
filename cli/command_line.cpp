#include "cli/command_line.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <utility>

#include "format/indexed_layout.h"
#include "text/messages.h"
#include "text/progress_line.h"
#include "text/verbose.h"
#include "convert/create_archive.h"
#include "convert/extract_archive.h"
#include "report/list_archive.h"
#include "report/verify_archive.h"

namespace kotar {

namespace {

enum class Mode { none, extract, create, list, verify };

// Codes of the options that have only a long form.
enum LongOption : int { kAlignOption = 256, kHelpOption, kVersionOption, kVerifyOption, kProgressOption };

constexpr option kLongOptions[] = {
    {"align", required_argument, nullptr, kAlignOption},
    {"help", no_argument, nullptr, kHelpOption},
    {"version", no_argument, nullptr, kVersionOption},
    {"verify", required_argument, nullptr, kVerifyOption},
    {"progress", no_argument, nullptr, kProgressOption},
    {nullptr, 0, nullptr, 0},
};

// Leading '-': every operand comes back in its place as option 1, so that
// the one right after a bare -t can be told from any other.
constexpr char kShortOptions[] = "-x:c:o:t::v";
constexpr int kOperand = 1;

static_assert(sizeof message::kUsage - 1 == 93);

constexpr char kHelp[] = R"(
  -c FILE          create an indexed archive from FILE, a tar (GNU, ustar or pax;
                   plain, gzip, zstd, xz, bzip2 or lz4)
  -x FILE          turn the indexed archive FILE (plain or compressed) back into
                   a GNU tar
  -o DESTINATION   the file that -c and -x write (required for both)
  -tFILE, -t FILE  list the members of the indexed archive FILE
  -t               list the members of the indexed archive on standard input
                   A FILE of - is standard input, a DESTINATION of - standard
                   output; a file named - is ./-
  -v               trace the creation: executables aligned or not, their analysis
  --align=SIZE     place executables on SIZE-byte boundaries: 4096 (the default),
                   16384 or 65536; with --verify, check that boundary too
  --progress       with -c and -x, show the input read, the time left and the
                   decoding rate on one line of standard error, redrawn in place
                   (shown anyway after two seconds when standard error is a
                   terminal), and cleared at the end
  --verify FILE    check the indexed archive FILE (a ktar) and report each problem
  --help           print this help and exit
  --version        print the version and exit

Exit status: 0 when the mode ran to its end, 255 on any failure, a usage
error included. The manual page, kotar(1), describes every option and message.
)";

void printUsage() { std::fputs(message::kUsage, stderr); }

int printHelp() {
    std::fputs(message::kUsage, stdout);
    std::fputs(kHelp, stdout);
    return std::fflush(stdout) == 0 ? 0 : -1;
}

int printVersion() {
    std::printf("kotar %s\n", KOTAR_VERSION);
    return std::fflush(stdout) == 0 ? 0 : -1;
}

// The boundaries an executable may be placed on.
bool parseAlignment(const char* text, std::uint64_t& alignment) {
    for (const std::uint64_t size : {4096, 16384, 65536}) {
        if (std::strcmp(text, std::to_string(size).c_str()) == 0) {
            alignment = size;
            return true;
        }
    }
    return false;
}

}  // namespace

int runCommandLine(int argc, char** argv) {
    Mode mode = Mode::none;
    const char* inputPath = nullptr;
    const char* destinationPath = nullptr;
    std::uint64_t alignment = kPageSize;
    bool alignmentGiven = false;
    bool listFileMayFollow = false;  // the previous argument was a bare -t

    bool strayOperand = false;       // an operand that no option takes
    for (int option; (option = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1;) {
        const bool afterBareList = std::exchange(listFileMayFollow, false);
        // After a stray operand the rest is only read for getopt's own
        // diagnostics, which come before the usage line.
        if (strayOperand && option != '?' && option != ':') continue;
        switch (option) {
            case kOperand:
                if (!afterBareList) {
                    strayOperand = true;
                    break;
                }
                inputPath = optarg;
                break;
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
                inputPath = optarg;  // attached (-tPATH), or the operand right after
                listFileMayFollow = optarg == nullptr;
                break;
            case 'o':
                destinationPath = optarg;
                break;
            case 'v':
                verbose = true;
                break;
            case kAlignOption:
                if (!parseAlignment(optarg, alignment)) {
                    std::fprintf(stderr, message::kBadAlignment, optarg);
                    return -1;
                }
                alignmentGiven = true;
                break;
            case kProgressOption:
                progressAsked = true;
                break;
            case kVerifyOption:
                mode = Mode::verify;
                inputPath = optarg;
                break;
            case kHelpOption:
                return printHelp();
            case kVersionOption:
                return printVersion();
            default:  // getopt has printed its own diagnostic
                printUsage();
                return -1;
        }
    }
    if (strayOperand || optind < argc) {  // optind < argc: operands after "--"
        printUsage();
        return -1;
    }

    // "-" is standard input for the input of -c, -x and -t, and standard
    // output for -o, as in tar; a file named "-" is reached as "./-".
    const bool standardInput = inputPath != nullptr && std::strcmp(inputPath, "-") == 0;
    if (destinationPath != nullptr && std::strcmp(destinationPath, "-") == 0) destinationPath = "/dev/stdout";
    if (mode == Mode::list) return listArchive(standardInput ? nullptr : inputPath);
    if (standardInput && (mode == Mode::create || mode == Mode::extract)) inputPath = "/dev/stdin";
    if (mode == Mode::verify) return verifyArchive(inputPath, alignment);
    if (destinationPath == nullptr || mode == Mode::none) {
        printUsage();
        return -1;
    }
    if (verbose && alignmentGiven && mode == Mode::create) {
        std::fprintf(stderr, "Aligning executables on %u-byte boundaries\n", static_cast<unsigned>(alignment));
    }
    const int status = mode == Mode::extract ? extractArchive(inputPath, destinationPath)
                                             : createArchive(inputPath, destinationPath, alignment);
    progressFinish();
    return status;
}

}  // namespace kotar
