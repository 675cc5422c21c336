#include "kotarfs/mount_options.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kotarfs {

namespace {

enum Key { kHelp, kVersion, kUid, kGid, kMaxRead, kFsname, kSubtype };

const fuse_opt kSpecs[] = {
    FUSE_OPT_KEY("-h", kHelp),       FUSE_OPT_KEY("--help", kHelp), FUSE_OPT_KEY("-V", kVersion),
    FUSE_OPT_KEY("--version", kVersion), FUSE_OPT_KEY("uid=", kUid),   FUSE_OPT_KEY("gid=", kGid),
    FUSE_OPT_KEY("max_read=", kMaxRead), FUSE_OPT_KEY("fsname=", kFsname), FUSE_OPT_KEY("subtype=", kSubtype),
    FUSE_OPT_END,
};

// An id of decimal digits below 2^32 - 1: (uid_t)-1 is no id (chown(2)
// takes it as "unchanged"), and the kernel shows it as the overflow id.
bool parseId(std::string_view text, std::int64_t& id) {
    if (text.empty() || text.size() > 10) return false;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value >= 0xffffffffLL) return false;
    id = value;
    return true;
}

int take(void* data, const char* argument, int key, fuse_args*) {
    MountOptions& options = *static_cast<MountOptions*>(data);
    switch (key) {
        case kHelp: options.help = true; return 0;
        case kVersion: options.version = true; return 0;
        case kUid:
        case kGid: {
            const std::string_view text = std::string_view(argument).substr(4);
            if (!parseId(text, key == kUid ? options.uid : options.gid)) {
                std::fprintf(stderr, "kotarfs: invalid %s\n", argument);
                return -1;
            }
            return 0;
        }
        case kMaxRead:
            // Kept for FUSE, which mounts with it and then wants the same
            // value from init(); one it cannot read, it refuses.
            if (std::sscanf(argument, "max_read=%u", &options.maxRead) != 1) options.maxRead = 0;
            return 1;
        // Given names stand, as FUSE's other file systems let them.
        case kFsname: options.fsnameGiven = true; return 1;
        case kSubtype: options.subtypeGiven = true; return 1;
        case FUSE_OPT_KEY_NONOPT:
            if (!options.archiveGiven) {
                options.archive = argument;
                options.archiveGiven = true;
                return 0;  // the archive; the mount point goes on to FUSE
            }
            return 1;
        default: return 1;
    }
}

}  // namespace

bool parseMountOptions(fuse_args& args, MountOptions& options) {
    if (fuse_opt_parse(&args, &options, kSpecs, take) != 0) return false;
    if (options.help || options.version) return true;
    if (!options.archiveGiven) {
        std::fprintf(stderr, "kotarfs: no archive given\n");
        printUsage(stderr, "kotarfs");
        return false;
    }
    std::string fixed = "-oro,default_permissions";
    if (!options.subtypeGiven) fixed += ",subtype=kotarfs";
    if (!options.fsnameGiven) {
        fixed += ",fsname=";
        // fsname is one option: its commas are escaped.
        for (const char c : options.archive) {
            if (c == ',' || c == '\\') fixed += '\\';
            fixed += c;
        }
    }
    // Before a "--", after which FUSE takes every argument as the mount
    // point's, and after the options given, so that ro wins over an rw.
    int at = args.argc;
    for (int i = 1; i < args.argc; ++i) {
        if (std::strcmp(args.argv[i], "--") == 0) {
            at = i;
            break;
        }
    }
    return fuse_opt_insert_arg(&args, at, fixed.c_str()) == 0;
}

void printUsage(std::FILE* to, const char* program) {
    std::fprintf(to,
        "Usage: %s ARCHIVE MOUNTPOINT [-f] [-d] [-s] [-o OPTION[,OPTION...]]\n"
        "Mounts an indexed archive (ktar; kgz; zstd, xz, bzip2 or lz4 compressed) read-only.\n"
        "\n"
        "kotarfs options:\n"
        "    -o uid=N               show every file as owned by user N\n"
        "    -o gid=N               show every file as owned by group N\n"
        "    -h, --help             print this help and exit\n"
        "    -V, --version          print the version and exit\n"
        "\n",
        program);
}

}  // namespace kotarfs
