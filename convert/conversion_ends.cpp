#include "convert/conversion_ends.h"

#include <cstdio>
#include <fcntl.h>

#include "output/path_rules.h"
#include "text/messages.h"
#include "text/progress_line.h"

namespace kotar {

int openConversionEnds(const char* inputPath, const char* destinationPath, ArchiveInput& input, OutputFile& output) {
    // A name for one of the process's own descriptors ("-" comes as
    // /dev/stdin) is that descriptor, read from where it stands, as -o
    // writes one: opened again, a file would start over at its first byte,
    // and a socket or a file the process may not open by name would fail.
    const int held = descriptorNamed(inputPath);
    const bool inherited = held >= 0 && fcntl(held, F_GETFD) != -1;
    if ((inherited ? input.openDescriptor(held) : input.open(inputPath)) != 0) {
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
