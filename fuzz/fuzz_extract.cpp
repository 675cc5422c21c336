// Extraction (-x) of any byte stream into a memory file.
//
// Options: kGzip / kTwoMembers compress the stream. kAlternate extracts the
// payload both as it is and gzip-compressed: unless the payload is itself a
// gzip stream, both must end the same way and write the same bytes.
#include <cstdint>
#include <vector>

#include "text/verbose.h"
#include "convert/extract_archive.h"
#include "fuzz/fuzz_support.h"

using namespace kotar::fuzz;

namespace {
MemoryFile* archive = nullptr;
MemoryFile* destination = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceAndLimit();
    archive = new MemoryFile("archive");
    destination = new MemoryFile("destination");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzCase input = splitInput(data, size);
    kotar::verbose = input.has(kVerbose);
    archive->assignStream(input);
    const int status = kotar::extractArchive(archive->path(), destination->path());

    if (input.has(kAlternate) && !looksCompressed(input)) {
        const std::vector<std::uint8_t> first = destination->contents();
        FuzzCase other = input;
        other.options ^= kGzip;
        archive->assignStream(other);
        destination->clear();
        const int otherStatus = kotar::extractArchive(archive->path(), destination->path());
        if (otherStatus != status) invariantBroken("plain and gzip input end differently");
        if (destination->contents() != first) invariantBroken("plain and gzip input give different output");
    }
    destination->clear();
    return 0;
}
