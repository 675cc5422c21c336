#include "convert/conversion_ends.h"

#include <cstdio>

#include "output/path_rules.h"
#include "text/messages.h"
#include "text/progress_line.h"

namespace kotar {

int openConversionEnds(const char* inputPath, const char* destinationPath, ArchiveInput& input, OutputFile& output) {
    if (input.open(inputPath) != 0) {
        std::fprintf(stderr, message::kOpenInput, inputPath);
        return -1;
    }
    // Decoding runs beside the parsing and the writes.
    input.decodeOnItsOwnThread();
    if (isSameFile(inputPath, destinationPath) || output.open(destinationPath) != 0) {
        std::fprintf(stderr, message::kOpenOutput, destinationPath);
        return -1;
    }
    progressStart(input.inputSize());
    return 0;
}

}  // namespace kotar
