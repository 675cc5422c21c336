#pragma once

#include "input/archive_input.h"
#include "output/output_file.h"

namespace kotar {

// Opens the two ends of a conversion: the input, then the destination,
// which is refused when it is the input itself (opening it would replace
// the input in the end). Reports a failure with the message for the end
// that failed. 0 on success, -1 after a reported failure.
int openConversionEnds(const char* inputPath, const char* destinationPath, ArchiveInput& input, OutputFile& output);

}  // namespace kotar
