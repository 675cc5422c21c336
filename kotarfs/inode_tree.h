// The mounted tree, built once from the archive's member table as GNU tar
// would extract it, then read-only:
//
//   inode 1     the root (the member "./" when there is one)
//   inode n     nodes_[n - 1]: a directory (its entries in the order the
//               archive first names them), a regular file (a member's data,
//               or its sparse pieces), a symbolic link, a device or a FIFO;
//               hard links share one
//   entries_    every directory's entries, by (directory, name)
//
// Names are folded (a leading "/" or "./", "." components, a trailing "/");
// a name with a ".." component is left out with a warning. A regular file
// whose name ends in "/" is a directory, as GNU tar takes it. Directories that
// no member names are made up. The later of two members with one name wins;
// a hard link made before that keeps the earlier file.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kotar/reader.h"
#include "kotarfs/member_attributes.h"

namespace kotarfs {

using Inode = std::uint64_t;
inline constexpr Inode kRootInode = 1;

// An entry of a directory: the directory's inode and the entry's name, found
// by a view of the name too.
struct EntryKey {
    Inode directory;
    std::string name;
};
struct EntryKeyView {
    Inode directory;
    std::string_view name;
};
struct EntryHash {
    using is_transparent = void;
    std::size_t operator()(const EntryKeyView& key) const;
    std::size_t operator()(const EntryKey& key) const { return (*this)(EntryKeyView{key.directory, key.name}); }
};
struct EntryEqual {
    using is_transparent = void;
    static EntryKeyView view(const EntryKey& key) { return {key.directory, key.name}; }
    static EntryKeyView view(const EntryKeyView& key) { return key; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
        return view(a).directory == view(b).directory && view(a).name == view(b).name;
    }
};
using EntryMap = std::unordered_map<EntryKey, Inode, EntryHash, EntryEqual>;
using Entry = EntryMap::value_type;  // the entry's key, and the inode it names

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
    std::vector<const Entry*> entries;     // a directory's, in the tree's entries_
    Inode parent = kRootInode;
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
    std::size_t size() const { return nodes_.size(); }

private:
    struct Building;
    std::vector<Node> nodes_;
    EntryMap entries_;
};

// A member's name as a path below the root: its components without "." and
// empty ones. False for a name with a ".." component.
bool foldName(std::string_view name, std::vector<std::string_view>& components);

}  // namespace kotarfs
