// StagedDestination: where creation and extraction write, so that their
// result is complete or absent.
//
// The destination is opened through the kernel (which follows symbolic
// links by its own rules, those of sticky directories included), and never
// cut short before the result is complete. The bytes are staged in a
// temporary file; commit() puts them in place one of two ways:
//
//   - by rename, when nothing would be lost: a new file; or a regular file
//     with one link, that the process owns or may give back to its owner
//     and group, whose extended attributes and ACLs the temporary file
//     takes on, and whose directory allows the rename. The temporary file
//     is named ".NAME.XXXXXX" beside it (NAME shortened so that the whole
//     stays within a file name's 255 bytes), created exclusively, and
//     removed when the object goes away uncommitted or a signal ends the
//     process (signal_cleanup.h);
//   - otherwise by copying the result into the existing file
//     (copy_in_place.h), which keeps its inode, links, owner, extended
//     attributes and ACLs. It is staged in an unlinked file beside it, else
//     in $TMPDIR or /tmp (a writable file in a directory the process may
//     not write).
//
// Either way, until commit() the destination is exactly as it was: absent,
// or its earlier content.
//
//   - A symbolic link stays: the file it leads to is replaced, or made
//     when it does not exist yet.
//   - An existing destination keeps its permission bits, owner and group.
//   - A name for a descriptor the process holds (/dev/stdout, /dev/fd/N)
//     is that descriptor, whatever is behind it: written from where it
//     stands, front to back, never positioned.
//   - Anything else that is not a regular file (a character device, a
//     FIFO) is written in place.
#pragma once

#include <string>
#include <sys/stat.h>

#include "files/file_descriptor.h"

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
    int openNew(const std::string& path);
    int openExisting(FileDescriptor file, const struct stat& status, const std::string& realName,
                     const std::string& givenPath);
    int createNamedStaging(const std::string& directoryPath, const std::string& targetName, mode_t mode);
    int keep(int stagingDescriptor);
    bool takeOnWhatRenameWouldLose();
    int renameIntoPlace();
    void discard();

    FileDescriptor existing_;    // the earlier destination, written when copied in place
    FileDescriptor directory_;   // the directory of a named temporary file
    FileDescriptor staging_;     // the temporary file, read back when copied in place
    std::string stagingName_;    // its name in directory_; empty when it has none
    std::string targetName_;     // the name it is renamed to, in directory_
    bool staged_ = false;        // false: written in place, nothing to commit
    bool sharedDescriptor_ = false;
};

}  // namespace kotar
