// StagedDestination: where creation and extraction write, so that their
// result is complete or absent.
//
// A regular or new destination is written under a hidden temporary name in
// its own directory (".NAME.XXXXXX", created exclusively) and renamed over
// the destination only by commit(). Until then the destination is exactly as
// it was: absent, or its earlier content. The temporary file is removed
// when the object goes away uncommitted, and by a handler on SIGINT, SIGTERM
// and SIGHUP, which then lets the signal take its default course.
//
//   - A symbolic link is followed: its target is replaced, or made when it
//     does not exist yet, and the link stays.
//   - An existing destination keeps its permission bits (and, where the
//     process may set them, its owner and group).
//   - A name for a descriptor the process holds (/dev/stdout, /dev/fd/N)
//     is that descriptor, whatever is behind it: written from where it
//     stands, front to back, never positioned.
//   - Anything else (a character device, a FIFO), and a destination beside
//     which no temporary file can be created, is written in place.
#pragma once

#include <string>

namespace kotar {

class StagedDestination {
public:
    StagedDestination() = default;
    ~StagedDestination();
    StagedDestination(const StagedDestination&) = delete;
    StagedDestination& operator=(const StagedDestination&) = delete;

    // Opens a descriptor for writing the destination's bytes; the caller
    // closes it before commit(). Returns it, or -1 on failure.
    int open(const char* path);

    // Puts the written file in place. 0 on success, -1 on failure (the
    // temporary file is then removed).
    int commit();

    // Whether the descriptor is one the process already held, shared with
    // whoever else writes to it: it must only be written in order.
    bool sharedDescriptor() const { return sharedDescriptor_; }

private:
    void discard();

    std::string target_;   // the file that is finally replaced
    std::string staging_;  // the temporary file; empty when written in place
    bool sharedDescriptor_ = false;
};

}  // namespace kotar
