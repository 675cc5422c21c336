#include "convert/conversion_ends.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "output/path_rules.h"
#include "text/messages.h"
#include "text/progress_line.h"

namespace kotar {

int openConversionEnds(const char* inputPath, const char* destinationPath, ArchiveInput& input, OutputFile& output) {
    // Standard input ("-" comes as /dev/stdin) is read from where it
    // stands, as tar reads it: opened again, a file would start over at its
    // first byte, and a socket or a file the process may not open by name
    // would fail. Other names, /dev/fd/N among them, are opened as named.
    const bool standardInput = std::strcmp(inputPath, "/dev/stdin") == 0 && fcntl(STDIN_FILENO, F_GETFD) != -1;
    if ((standardInput ? input.openDescriptor(STDIN_FILENO) : input.open(inputPath)) != 0) {
        std::fprintf(stderr, message::kOpenInput, inputPath);
        return -1;
    }
    // Decoding runs beside the parsing and the writes, with any file of
    // its own beside the destination, as the conversion's are.
    input.decodeOnItsOwnThread(workDirectoryFor(destinationPath));
    if (isSameFile(inputPath, destinationPath) || output.open(destinationPath) != 0) {
        std::fprintf(stderr, message::kOpenOutput, destinationPath);
        return -1;
    }
    progressStart(input.inputSize());
    return 0;
}

}  // namespace kotar
