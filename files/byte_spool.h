// ByteSpool: bytes that creation writes into an archive but that are not in
// its input stream (the kept records of a pax 'x' entry), appended to an
// unlinked temporary file, opened at the first append, so that the data
// step copies them by offset like member data from the input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "files/file_descriptor.h"

namespace kotar {

class ByteSpool {
public:
    // The file goes in `directory` (see openAnonymousFile).
    explicit ByteSpool(std::string directory) : directory_(std::move(directory)) {}

    // Appends the bytes and gives their offset in the spool; false when
    // they cannot be kept.
    bool append(std::string_view bytes, std::uint64_t& offset);

    // The spool's file, in which offset X lies at file offset X; -1 before
    // the first append.
    int descriptor() const { return file_.get(); }

private:
    std::string directory_;
    FileDescriptor file_;
    std::uint64_t length_ = 0;
};

}  // namespace kotar
