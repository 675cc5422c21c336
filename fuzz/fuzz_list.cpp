// Listing (-t) of any byte stream, from a path or from standard input.
//
// Options: kGzip / kTwoMembers compress the stream; kAlternate lists it from
// standard input, as kotar -t < file does.
#include <cstdint>
#include <unistd.h>

#include "text/verbose.h"
#include "report/list_archive.h"
#include "fuzz/fuzz_support.h"

using namespace kotar::fuzz;

namespace {
MemoryFile* archive = nullptr;
bool standardInputAttached = false;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceAndLimit();
    archive = new MemoryFile("archive");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzCase input = splitInput(data, size);
    kotar::verbose = input.has(kVerbose);  // the listing must not care
    archive->assignStream(input);
    if (input.has(kAlternate)) {
        if (!standardInputAttached) {
            if (dup2(archive->descriptor(), STDIN_FILENO) < 0) invariantBroken("dup2 failed");
            standardInputAttached = true;
        }
        lseek(STDIN_FILENO, 0, SEEK_SET);
        kotar::listArchive(nullptr);
    } else {
        kotar::listArchive(archive->path());
    }
    return 0;
}
