// The executable analysis of any byte stream, as creation runs it on a member.
//
// Input: the option byte, a byte that places the member's data in the
// stream (dataStart = 64 × its value), then the stream. Options: kGzip /
// kTwoMembers compress the stream; kVerbose traces. kAlternate analyses the
// member a second time with its data read back from a copy, as creation does
// once it has copied the data (the high four option bits cut that copy
// short, so reads also cross from the copy into the stream); both runs must
// give the same layout.
// The input must stand at dataStart again after every analysis.
#include <cstdint>
#include <cstring>
#include <optional>

#include "archive/archive_input.h"
#include "archive/header_block.h"
#include "archive/verbose.h"
#include "elfscan/analyze_executable.h"
#include "fuzz/fuzz_support.h"

using namespace kotar::fuzz;

namespace {
MemoryFile* stream = nullptr;
MemoryFile* copy = nullptr;

// Where the copy of the member lies in its file: not where it lies in the
// stream, as in an indexed archive.
constexpr std::size_t kCopyOffset = 4096;

bool sameLayout(const std::optional<kotar::ExecutableLayout>& a, const std::optional<kotar::ExecutableLayout>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->textOffset == b->textOffset && a->textPgs == b->textPgs && a->fixUpPgs == b->fixUpPgs);
}

std::optional<kotar::ExecutableLayout> analyze(kotar::ArchiveInput& input, std::int64_t dataStart,
                                               const kotar::HeaderBlock& header) {
    if (input.seek(dataStart, SEEK_SET) != dataStart) invariantBroken("cannot position the input");
    auto layout = kotar::analyzeExecutable(input, dataStart, header);
    if (input.tell() != dataStart) invariantBroken("the analysis left the input elsewhere");
    return layout;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceAndLimit();
    stream = new MemoryFile("stream");
    copy = new MemoryFile("copy");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzCase input = splitInput(data, size);
    if (input.size == 0) return 0;
    const std::int64_t dataStart = std::int64_t{64} * input.payload[0];
    ++input.payload;
    --input.size;
    kotar::verbose = input.has(kVerbose);
    stream->assignStream(input);

    kotar::HeaderBlock header{};
    std::memcpy(header.data(), "usr/bin/fuzzed", 14);

    kotar::ArchiveInput archive;
    if (archive.open(stream->path()) != 0) invariantBroken("cannot open the stream");
    const auto layout = analyze(archive, dataStart, header);

    // The copy holds the payload's own bytes: the stream's, unless the
    // payload is itself compressed and stored as it is.
    if (input.has(kAlternate) && (input.has(kGzip) || !looksCompressed(input)) &&
        static_cast<std::size_t>(dataStart) < input.size) {
        const std::size_t rest = input.size - static_cast<std::size_t>(dataStart);
        const std::size_t memberSize = rest - rest * (input.options >> 4) / 16;
        copy->assign(input.payload + dataStart, memberSize, kCopyOffset);
        archive.beginReplay(copy->descriptor(), kCopyOffset, dataStart, static_cast<std::int64_t>(memberSize));
        const auto replayed = analyze(archive, dataStart, header);
        archive.endReplay();
        if (!sameLayout(layout, replayed)) invariantBroken("the read-back copy gives another layout");
    }
    return 0;
}
