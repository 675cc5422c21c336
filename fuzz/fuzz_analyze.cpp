// The executable analysis of any byte stream, as creation runs it on a
// member: read by position from the bytes that creation kept of its input.
//
// Input: the option byte, a byte that places the member's data in the
// stream (dataStart = 64 × its value), then the stream. kVerbose traces.
#include <cstdint>
#include <cstring>
#include <optional>

#include "files/byte_source.h"
#include "format/header_block.h"
#include "text/verbose.h"
#include "elfscan/analyze_executable.h"
#include "fuzz/fuzz_support.h"

using namespace kotar::fuzz;

namespace {
MemoryFile* stream = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceAndLimit();
    stream = new MemoryFile("stream");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzCase input = splitInput(data, size);
    if (input.size == 0) return 0;
    const std::int64_t dataStart = std::int64_t{64} * input.payload[0];
    ++input.payload;
    --input.size;
    kotar::verbose = input.has(kVerbose);
    stream->assign(input.payload, input.size);

    kotar::HeaderBlock header{};
    std::memcpy(header.data(), "usr/bin/fuzzed", 14);
    const std::optional<kotar::ExecutableLayout> layout =
        kotar::analyzeExecutable(kotar::FileByteSource(stream->descriptor()), dataStart, header);
    if (!layout) invariantBroken("the page bitmap could not be had");
    return 0;
}
