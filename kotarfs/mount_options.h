// kotarfs's command line:
//
//   kotarfs ARCHIVE MOUNTPOINT [-f] [-d] [-s] [-o OPTION[,OPTION...]]
//
// Its own: the archive (the first argument that is not an option),
// -o uid=N and -o gid=N (every owner shown as N), -h/--help, -V/--version.
// Everything else (the mount point, -f, -d, -s, -o allow_other, ...) is
// FUSE's and passes through; -o ro and default_permissions are added, and
// fsname (the archive) and subtype (kotarfs) unless given. As a mount
// helper from /etc/fstab (type fuse.kotarfs) it is run as
// `kotarfs ARCHIVE MOUNTPOINT -o ro,...`, which is the same form.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

namespace kotarfs {

struct MountOptions {
    std::string archive;
    bool archiveGiven = false;  // an empty name is a name, which no file has
    bool help = false;
    bool version = false;
    std::int64_t uid = -1;  // -1: the archive's own
    std::int64_t gid = -1;
    unsigned maxRead = 0;  // -o max_read=N, passed to FUSE too; 0: none
    bool fsnameGiven = false;
    bool subtypeGiven = false;
};

// Takes kotarfs's own arguments out of `args` into `options` and adds the
// fixed mount options. False (after a message) when the command line is
// wrong.
bool parseMountOptions(fuse_args& args, MountOptions& options);

void printUsage(std::FILE* to, const char* program);

}  // namespace kotarfs
