// Copying member data from the input to the output, shared by creation and
// extraction.
#pragma once

#include <cstdint>
#include <memory>

#include "input/archive_input.h"
#include "output/output_file.h"
#include "output/positional_copy.h"

namespace kotar {

// The largest piece that the copy through the streams reads and writes.
inline constexpr std::size_t kCopyChunk = 4096;

// Copies member data, one member at a time, to the output's position: from
// the input's read position, or from a file that holds it. The bytes move in
// pieces of at most kCopyChunk, and a piece that the source cannot fill is
// not written. Between two plain files they move in larger pieces straight
// from file to file, with the same result, through one buffer kept for
// every member.
class MemberCopier {
public:
    CopyOutcome copy(ArchiveInput& input, OutputFile& output, std::uint64_t size);
    CopyOutcome copyFromFile(int descriptor, std::uint64_t offset, OutputFile& output, std::uint64_t size);

private:
    std::uint64_t copyBetweenFiles(int in, std::uint64_t inStart, OutputFile& output, std::uint64_t size,
                                   bool& cameShort, ArchiveInput* input = nullptr);
    CopyOutcome flushedAfterShortCopy(OutputFile& output, bool cameShort);
    std::uint64_t copyThroughBuffer(int in, std::uint64_t inStart, int out, std::uint64_t outStart, std::uint64_t size);

    CopyBuffer fileBuffer_;  // allocated at the first file-to-file copy
};

}  // namespace kotar
