// The mounted tree, built once from the archive's member table as GNU tar
// would extract it, then read-only:
//
//   inode 1     the root (the member "./" when there is one)
//   inode n     nodes_[n - 1]: a directory (its entries in the order the
//               archive first names them), a regular file (a member's data,
//               or its sparse pieces), a symbolic link, a device or a FIFO;
//               hard links share one
//   entries_    every directory's entries, by (directory, name)
//   listing_    the same, directory by directory, for reading directories
//
// Names are folded (a leading "/" or "./", "." components, a trailing "/");
// a name with a ".." component is left out with a warning (a hard link's
// target is taken from after its last ".."), and so is one with a component
// longer than NAME_MAX, which no file system takes, or one of PATH_MAX bytes
// or more, which the kernel takes as no path. A regular file
// whose name ends in "/" is a directory, as GNU tar takes it. Directories that
// no member names are made up. The later of two members with one name wins;
// a hard link made before that keeps the earlier file; a hard link to a
// directory, refused, still removes what had its name. A symbolic link that
// symlink(2) would refuse (an empty target, or one of PATH_MAX bytes or
// more) is left out with a warning, as GNU tar leaves it out.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kotar/reader.h"
#include "kotarfs/entry_table.h"
#include "kotarfs/member_attributes.h"

namespace kotarfs {

using Inode = std::uint64_t;
inline constexpr Inode kRootInode = 1;

// A file of the tree. Kept small: a mount builds one for every member
// before it answers, and each page of them is a fault in a fresh process.
struct Node {
    std::uint64_t size = 0;                // holes included; a link's target length
    std::int64_t mtimeSeconds = 0;
    const kotar_member* member = nullptr;  // a regular file's data
    std::string_view target;               // a symbolic link's, followed by a NUL
    dev_t device = 0;
    std::uint32_t mtimeNanoseconds = 0;
    mode_t mode = 0;                       // type and permissions
    std::uint32_t links = 1;
    uid_t uid = 0;
    gid_t gid = 0;
    std::uint32_t parent = kRootInode;
    std::uint32_t extras = 0;              // 1 + its index in the tree's extras; 0 when it has none
    bool sparse = false;                   // read through its pieces
    bool damaged = false;                  // reads fail with EIO
};

struct TreeOptions {
    std::int64_t uid = -1;  // -o uid=N: every owner; -1 keeps the archive's
    std::int64_t gid = -1;  // -o gid=N
};

class InodeTree {
public:
    InodeTree() = default;
    // Directories point into entries_.
    InodeTree(const InodeTree&) = delete;
    InodeTree& operator=(const InodeTree&) = delete;

    // Builds the tree from every member of `archive`; `warn` is told of each
    // member left out. Directories made up take `madeUp`'s time and owner.
    void build(const kotar_archive& archive, const TreeOptions& options, const struct stat& madeUp,
               void (*warn)(const std::string& message));

    const Node* find(Inode inode) const;
    // The entry `name` of directory `parent`, 0 when there is none.
    Inode lookup(Inode parent, std::string_view name) const;
    // The `index`-th entry of `directory`, in the order the archive first
    // names them; null past the last.
    const Entry* listed(Inode directory, std::size_t index) const;
    std::size_t size() const { return nodes_.size(); }

    // A sparse file's pieces, in file order.
    std::span<const Piece> pieces(const Node& node) const;
    const Xattrs& xattrs(const Node& node) const;

private:
    struct Building;
    void list(const std::vector<std::uint32_t>& entryCounts);

    // What few nodes have.
    struct Extras {
        std::vector<Piece> pieces;
        Xattrs xattrs;
    };

    std::vector<Node> nodes_;
    EntryTable entries_;
    std::vector<Extras> extras_;
    std::deque<std::string> texts_;  // names and targets from pax records, which entries and nodes view
    // Each directory's entries, directory by directory: those of inode n
    // are listing_[listingStart_[n - 1]] up to listingStart_[n].
    std::vector<std::uint32_t> listing_;
    std::vector<std::uint32_t> listingStart_;
};

// A member's name as a path below the root: its components without "." and
// empty ones. False for a name with a ".." component.
bool foldName(std::string_view name, std::vector<std::string_view>& components);

}  // namespace kotarfs
