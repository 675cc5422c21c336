// Creation (-c) from any byte stream into a memory file.
//
// Options: kGzip / kTwoMembers compress the stream; kVerbose traces, which
// also runs the trace lines of the executable analysis. Whatever creation
// accepts, extraction must accept too. kAlternate creates from the payload
// both as it is and gzip-compressed: unless the payload is itself a gzip
// stream, both must end the same way and write the same bytes.
#include <cstdint>
#include <vector>

#include "text/verbose.h"
#include "convert/create_archive.h"
#include "convert/extract_archive.h"
#include "fuzz/fuzz_support.h"

using namespace kotar::fuzz;

namespace {
MemoryFile* source = nullptr;
MemoryFile* indexed = nullptr;
MemoryFile* extracted = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceAndLimit();
    source = new MemoryFile("source");
    indexed = new MemoryFile("indexed");
    extracted = new MemoryFile("extracted");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzCase input = splitInput(data, size);
    kotar::verbose = input.has(kVerbose);
    source->assignStream(input);
    const int status = kotar::createArchive(source->path(), indexed->path());

    if (status == 0) {
        if (kotar::extractArchive(indexed->path(), extracted->path()) != 0) {
            invariantBroken("an archive that creation wrote cannot be extracted");
        }
        extracted->clear();
    }
    if (input.has(kAlternate) && !looksCompressed(input)) {
        const std::vector<std::uint8_t> first = indexed->contents();
        FuzzCase other = input;
        other.options ^= kGzip;
        source->assignStream(other);
        indexed->clear();
        const int otherStatus = kotar::createArchive(source->path(), indexed->path());
        if (otherStatus != status) invariantBroken("plain and gzip input end differently");
        if (indexed->contents() != first) invariantBroken("plain and gzip input give different output");
    }
    indexed->clear();
    return 0;
}
