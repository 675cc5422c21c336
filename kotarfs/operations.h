// The FUSE operations of the mounted archive (FUSE's low-level interface:
// inodes are the tree's, see kotarfs/inode_tree.h). Every reply lets the
// kernel keep what it learns for a day: the archive does not change under
// a read-only mount.
#pragma once

#include "kotar/reader.h"
#include "kotarfs/inode_tree.h"
#include "kotarfs/mount_options.h"

namespace kotarfs {

struct MountedArchive {
    const kotar_archive* archive = nullptr;
    InodeTree tree;
    std::uint64_t archiveBytes = 0;  // the archive file's size, for statfs
    unsigned maxRead = 0;            // -o max_read=N; 0: none
};

// The operations; their user data is a MountedArchive.
const fuse_lowlevel_ops& archiveOperations();

}  // namespace kotarfs
