// The mounted tree, built once from the archive's member table as GNU tar
// would extract it, then read-only:
//
//   inode 1     the root (the member "./" when there is one)
//   inode n     nodes_[n - 1]: a directory (its entries sorted by name), a
//               regular file (a member's data, or its sparse pieces), a
//               symbolic link, a device or a FIFO; hard links share one
//
// Names are folded (a leading "/" or "./", "." components, a trailing "/");
// a name with a ".." component is left out with a warning. Directories that
// no member names are made up. The later of two members with one name wins;
// a hard link made before that keeps the earlier file.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kotar/reader.h"
#include "kotarfs/member_attributes.h"

namespace kotarfs {

using Inode = std::uint64_t;
inline constexpr Inode kRootInode = 1;

struct Node {
    mode_t mode = 0;  // type and permissions
    std::uint32_t links = 1;
    std::int64_t uid = 0;
    std::int64_t gid = 0;
    struct timespec mtime {};
    dev_t device = 0;
    std::uint64_t size = 0;
    const kotar_member* member = nullptr;  // a regular file's data
    std::string target;                    // a symbolic link's
    bool sparse = false;
    bool damaged = false;                  // reads fail with EIO
    std::vector<Piece> pieces;
    std::vector<std::pair<std::string, std::string>> xattrs;
    std::vector<std::pair<std::string, Inode>> entries;  // a directory's, sorted
    Inode parent = kRootInode;
};

struct TreeOptions {
    std::int64_t uid = -1;  // -o uid=N: every owner; -1 keeps the archive's
    std::int64_t gid = -1;  // -o gid=N
};

class InodeTree {
public:
    // Builds the tree from every member of `archive`; `warn` is told of each
    // member left out. Directories made up take `madeUp`'s time and owner.
    void build(const kotar_archive& archive, const TreeOptions& options, const struct stat& madeUp,
               void (*warn)(const std::string& message));

    const Node* find(Inode inode) const;
    // The entry `name` of directory `parent`, 0 when there is none.
    Inode lookup(Inode parent, const std::string& name) const;
    std::size_t size() const { return nodes_.size(); }

private:
    struct Building;
    std::vector<Node> nodes_;
};

// A member's name as a path below the root: its components without "." and
// empty ones. False for a name with a ".." component.
bool foldName(std::string_view name, std::vector<std::string_view>& components);

}  // namespace kotarfs
