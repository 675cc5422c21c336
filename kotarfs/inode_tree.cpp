#include "kotarfs/inode_tree.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string_view>

namespace kotarfs {

namespace {

// pax records larger than this are not applied (GNU tar caps them too).
constexpr std::uint64_t kLargestPaxData = 16 * 1024 * 1024;

mode_t fileType(char type) {
    switch (type) {
        case '2': return S_IFLNK;
        case '3': return S_IFCHR;
        case '4': return S_IFBLK;
        case '5':
        case 'D': return S_IFDIR;  // a GNU dump directory is a directory
        case '6': return S_IFIFO;
        default: return S_IFREG;  // '0', '7', NUL, and unknown types, as GNU tar extracts them
    }
}

bool readAll(const kotar_archive& archive, const kotar_member& member, std::uint64_t count, std::string& out) {
    out.resize(static_cast<std::size_t>(count));
    std::uint64_t done = 0;
    while (done < count) {
        const long long got = kotar_read(&archive, &member, done, out.data() + done, count - done);
        if (got <= 0) return false;
        done += static_cast<std::uint64_t>(got);
    }
    return true;
}

// A hard link's target as GNU tar takes it: what follows its last ".."
// component (GNU tar removes what leads up to it, so that the target stays
// inside).
std::string_view afterLastDotDot(std::string_view target) {
    std::size_t from = 0;
    for (std::size_t at = 0; at <= target.size();) {
        const std::size_t slash = std::min(target.find('/', at), target.size());
        if (target.substr(at, slash - at) == "..") from = slash;
        at = slash + 1;
    }
    return target.substr(from);
}

// The kernel takes no path of PATH_MAX bytes or more, however short its
// components. `path` is as GNU tar hands it over: without a leading "/" (nor,
// for a member's name, a trailing one), "." components and doubled slashes
// kept.
bool pathTooLong(std::string_view path, bool trailingSlashes) {
    path.remove_prefix(std::min(path.find_first_not_of('/'), path.size()));
    if (trailingSlashes) path = path.substr(0, path.find_last_not_of('/') + 1);
    return path.size() >= PATH_MAX;
}

// Whether `path` ends in a "." component ("." or ".../."), which names a
// directory.
bool endsInDot(std::string_view path) { return path == "." || path.ends_with("/."); }

}  // namespace

bool foldName(std::string_view name, std::vector<std::string_view>& components) {
    components.clear();
    std::size_t at = 0;
    while (at <= name.size()) {
        const std::size_t slash = std::min(name.find('/', at), name.size());
        const std::string_view part = name.substr(at, slash - at);
        if (part == "..") return false;
        if (!part.empty() && part != ".") components.push_back(part);
        at = slash + 1;
    }
    return true;
}

struct InodeTree::Building {
    std::vector<Node>& nodes;
    EntryTable& entries;
    std::vector<Extras>& extras;
    std::deque<std::string>& texts;
    const TreeOptions& options;
    const struct stat& madeUp;
    void (*warn)(const std::string&);
    std::vector<std::uint32_t> entryCounts;  // each directory's, by inode - 1
    std::vector<std::string_view> nameComponents;  // place()'s, kept for their room
    std::vector<std::string_view> linkComponents;
    std::string_view lastParentPath;  // parentOf()'s last path, and the directory it found
    Inode lastParent = 0;

    Node& at(Inode inode) { return nodes[inode - 1]; }

    Inode add(const Node& node) {
        nodes.push_back(node);
        entryCounts.push_back(0);
        return nodes.size();
    }

    // The inode an entry names, 0 when there is none.
    Inode inodeOf(const EntryTable::Probe& probe) const {
        return probe.index == EntryTable::kNone ? 0 : entries[probe.index].inode;
    }
    EntryTable::Probe probe(Inode directory, std::string_view name) const {
        return entries.probe(static_cast<std::uint32_t>(directory), name);
    }

    // Sets the entry `probe` looked for. A name keeps its place in its
    // directory when another member takes it.
    void setEntry(const EntryTable::Probe& probe, Inode directory, std::string_view name, Inode inode) {
        if (probe.index != EntryTable::kNone) {
            if (entries[probe.index].inode == 0) ++entryCounts[directory - 1];
            entries[probe.index].inode = static_cast<std::uint32_t>(inode);
            return;
        }
        entries.add(probe, {name, static_cast<std::uint32_t>(directory), static_cast<std::uint32_t>(inode)});
        ++entryCounts[directory - 1];
    }

    // Removes the entry `probe` found: it names inode 0, which nothing lists.
    void removeEntry(const EntryTable::Probe& probe, Inode directory) {
        entries[probe.index].inode = 0;
        --entryCounts[directory - 1];
    }

    // A text the tree keeps for views into it: the member's own when it is
    // that, which lives as long as the archive; else a copy.
    std::string_view keep(const std::string& text, const char* stored) {
        if (text == stored) return stored;
        return texts.emplace_back(text);
    }

    // An owner that chown(2) cannot set (-1, which it takes as "unchanged",
    // or one outside 32 bits) leaves GNU tar's file with the owner it has:
    // `unchanged`, the user's who extracts a new file (the mounting user's
    // here, as made-up directories are), a directory's before it was named
    // again.
    static bool settable(std::int64_t id) { return id >= 0 && id < 0xffffffffLL; }
    uid_t uid(std::int64_t stored, uid_t unchanged) const {
        if (options.uid >= 0) return static_cast<uid_t>(options.uid);
        return settable(stored) ? static_cast<uid_t>(stored) : unchanged;
    }
    gid_t gid(std::int64_t stored, gid_t unchanged) const {
        if (options.gid >= 0) return static_cast<gid_t>(options.gid);
        return settable(stored) ? static_cast<gid_t>(stored) : unchanged;
    }

    Node madeUpDirectory(Inode parent) const {
        Node node;
        node.mode = S_IFDIR | 0755;
        node.uid = uid(madeUp.st_uid, madeUp.st_uid);
        node.gid = gid(madeUp.st_gid, madeUp.st_gid);
        node.mtimeSeconds = madeUp.st_mtim.tv_sec;
        node.mtimeNanoseconds = static_cast<std::uint32_t>(madeUp.st_mtim.tv_nsec);
        node.parent = static_cast<std::uint32_t>(parent);
        return node;
    }

    // The directory that holds the last component, made up where missing;
    // 0 when a component on the way is not a directory. `path` is the name
    // up to that component: members of one directory often follow one
    // another, so the last path found is kept. It stays right: placing a
    // member adds entries, and changes none but in the directory it found.
    Inode parentOf(std::string_view path, const std::vector<std::string_view>& components) {
        if (lastParent != 0 && path == lastParentPath) return lastParent;
        Inode directory = kRootInode;
        for (std::size_t i = 0; i + 1 < components.size(); ++i) {
            const EntryTable::Probe found = probe(directory, components[i]);
            const Inode inode = inodeOf(found);
            if (inode == 0) {
                const Inode made = add(madeUpDirectory(directory));
                setEntry(found, directory, components[i], made);
                directory = made;
            } else if (S_ISDIR(at(inode).mode)) {
                directory = inode;
            } else {
                return 0;
            }
        }
        lastParentPath = path;
        lastParent = directory;
        return directory;
    }

    // A hard link's target (what follows its last "..") as linkat(2) looks
    // it up: its inode, or 0 with `error` set, ENOENT when it is missing,
    // ENOTDIR when a file stands on its way or a final "/" or "/." asks for
    // a directory (which linkat(2) refuses too), ENAMETOOLONG.
    Inode linkTarget(std::string_view targetName, int& error) {
        std::vector<std::string_view>& components = linkComponents;
        error = pathTooLong(targetName, false) ? ENAMETOOLONG : foldName(targetName, components) ? 0 : ENOENT;
        Inode inode = kRootInode;
        for (std::size_t i = 0; error == 0 && i < components.size(); ++i) {
            if (!S_ISDIR(at(inode).mode)) {
                error = ENOTDIR;
            } else if ((inode = inodeOf(probe(inode, components[i]))) == 0) {
                error = ENOENT;
            }
        }
        const bool directoryOnly = targetName.ends_with('/') || endsInDot(targetName);
        if (error == 0 && directoryOnly && !S_ISDIR(at(inode).mode)) error = ENOTDIR;
        return error == 0 ? inode : 0;
    }

    // Makes way for another member where `found` stands: false when it is a
    // directory that is not empty. The entry itself is then set anew.
    bool makeWay(Inode found) {
        if (found == 0) return true;
        Node& old = at(found);
        if (S_ISDIR(old.mode) && entryCounts[found - 1] > 0) return false;
        if (old.links > 0) --old.links;
        return true;
    }

    void place(const kotar_archive& archive, const kotar_member& member, Attributes attributes) {
        std::vector<std::string_view>& components = nameComponents;
        const std::string_view name = keep(attributes.name, member.name);
        if (!foldName(name, components)) {
            warn(attributes.name + ": Member name contains '..'");
            return;
        }
        // GNU tar hands such a name to the system whole, which refuses it
        // before it makes any directory.
        if (pathTooLong(name, true)) {
            warn(attributes.name + ": Cannot open: File name too long");
            return;
        }
        mode_t type = attributes.type == '1' ? 0 : fileType(attributes.type);
        // A regular file's name that ends in "/" names a directory, as GNU
        // tar extracts it (the old convention from before type '5').
        const bool regularType = member.type == '0' || member.type == '\0' || member.type == '7';
        if (regularType && !attributes.sparse && name.ends_with('/')) type = S_IFDIR;
        if (components.empty()) {
            if (type == S_IFDIR) fill(at(kRootInode), member, attributes, type);
            return;
        }
        // symlink(2) refuses a target of PATH_MAX bytes or more at once, and
        // an empty one even after GNU tar has made the link's directories;
        // GNU tar then leaves the member out, and what had its name stays.
        if (S_ISLNK(type) && attributes.linkName.size() >= PATH_MAX) {
            warn(attributes.name + ": Cannot create symlink to '" + attributes.linkName + "': File name too long");
            return;
        }
        // mknod(2) takes no device number past 32 bits (EINVAL), before GNU
        // tar makes any directory; what had the name stays.
        if ((S_ISCHR(type) || S_ISBLK(type)) && attributes.deviceTooLarge) {
            warn(attributes.name + ": Cannot mknod: Invalid argument");
            return;
        }
        // linkat(2) looks the target up first: unless it is only missing
        // (GNU tar then makes the link's directories and tries again), the
        // link fails before any of them is made.
        if (attributes.type == '1') {
            int error = 0;
            linkTarget(afterLastDotDot(attributes.linkName), error);
            if (error != 0 && error != ENOENT) {
                warn(attributes.name + ": Cannot hard link to '" + attributes.linkName + "'");
                return;
            }
        }
        // No file system takes a name of more than NAME_MAX bytes: GNU tar
        // makes the directories before it, then fails.
        const auto tooLong = std::find_if(components.begin(), components.end(),
                                          [](std::string_view part) { return part.size() > NAME_MAX; });
        const bool nameTooLong = tooLong != components.end();
        if (nameTooLong) components.erase(tooLong + 1, components.end());
        const std::string_view path = name.substr(0, static_cast<std::size_t>(components.back().data() - name.data()));
        const Inode directory = parentOf(path, components);
        if (directory == 0) {
            warn(attributes.name + ": Cannot open: Not a directory");
            return;
        }
        if (nameTooLong) {
            warn(attributes.name + ": Cannot open: File name too long");
            return;
        }
        const std::string_view last = components.back();
        const EntryTable::Probe lastEntry = probe(directory, last);
        const Inode found = inodeOf(lastEntry);
        // A name that ends in a "." component ("f/.") names a directory:
        // GNU tar makes it, as it makes those before it, then cannot put
        // another kind of file there. Nor does it replace a file that has
        // the name, even by a directory.
        const std::string_view named = name.substr(0, name.find_last_not_of('/') + 1);
        if (endsInDot(named)) {
            if (found != 0 && !S_ISDIR(at(found).mode)) {
                warn(attributes.name + ": Cannot open: Not a directory");
                return;
            }
            if (type != S_IFDIR) {
                if (found == 0) setEntry(lastEntry, directory, last, add(madeUpDirectory(directory)));
                warn(attributes.name + ": Cannot open: File exists");
                return;
            }
        }
        if (S_ISLNK(type) && attributes.linkName.empty()) {
            warn(attributes.name + ": Cannot create symlink to '': No such file or directory");
            return;
        }

        if (attributes.type == '1') {
            int error = 0;
            const Inode target = linkTarget(afterLastDotDot(attributes.linkName), error);
            if (target == 0 || S_ISDIR(at(target).mode)) {
                // linkat(2) refuses a directory only once the link's name is
                // free: GNU tar has removed what had it (unless that is the
                // directory itself, or one that is not empty).
                if (target != 0 && found != 0 && found != target && makeWay(found)) removeEntry(lastEntry, directory);
                warn(attributes.name + ": Cannot hard link to '" + attributes.linkName + "'");
                return;
            }
            if (!makeWay(found)) {
                warn(attributes.name + ": Cannot replace a directory that is not empty");
                return;
            }
            ++at(target).links;
            setEntry(lastEntry, directory, last, target);
            return;
        }

        if (type == S_IFDIR && found != 0 && S_ISDIR(at(found).mode)) {
            fill(at(found), member, attributes, type);
            return;
        }
        if (!makeWay(found)) {
            warn(attributes.name + ": Cannot replace a directory that is not empty");
            return;
        }
        Node node;
        node.parent = static_cast<std::uint32_t>(directory);
        node.uid = madeUp.st_uid;
        node.gid = madeUp.st_gid;
        fill(node, member, attributes, type);
        if (S_ISREG(type)) readSparseMap(archive, member, attributes, node);
        const Inode inode = add(node);
        setEntry(lastEntry, directory, last, inode);
    }

    void fill(Node& node, const kotar_member& member, Attributes& attributes, mode_t type) {
        // Linux makes every symbolic link 0777, whatever mode the header has.
        node.mode = type | (S_ISLNK(type) ? mode_t{0777} : attributes.permissions);
        node.uid = uid(attributes.uid, node.uid);
        node.gid = gid(attributes.gid, node.gid);
        node.mtimeSeconds = attributes.mtimeSeconds;
        node.mtimeNanoseconds = static_cast<std::uint32_t>(attributes.mtimeNanoseconds);
        // Linux keeps user.* xattrs on regular files and directories only:
        // GNU tar cannot set them on others, and getxattr(2) would not read
        // what listxattr names.
        if (!S_ISREG(type) && !S_ISDIR(type)) {
            std::erase_if(attributes.xattrs, [](const auto& xattr) { return xattr.first.starts_with("user."); });
        }
        if (!attributes.xattrs.empty()) addXattrs(extrasOf(node).xattrs, std::move(attributes.xattrs));
        if (S_ISREG(type)) {
            node.member = &member;
            node.size = attributes.sparse ? attributes.size : member.size;
        } else if (S_ISLNK(type)) {
            node.target = keep(attributes.linkName, member.link_name);
            node.size = node.target.size();
        } else if (S_ISCHR(type) || S_ISBLK(type)) {
            node.device = attributes.device;
        }
    }

    // A directory named again keeps its xattrs, as GNU tar sets the new ones
    // on the directory it made before; one of the same name is replaced.
    static void addXattrs(Xattrs& kept, Xattrs added) {
        if (kept.empty()) {
            kept = std::move(added);
            return;
        }
        for (auto& xattr : added) {
            const auto same = std::find_if(kept.begin(), kept.end(), [&](const auto& k) { return k.first == xattr.first; });
            if (same != kept.end()) {
                same->second = std::move(xattr.second);
            } else {
                kept.push_back(std::move(xattr));
            }
        }
    }

    Extras& extrasOf(Node& node) {
        if (node.extras == 0) {
            extras.emplace_back();
            node.extras = static_cast<std::uint32_t>(extras.size());
        }
        return extras[node.extras - 1];
    }

    void readSparseMap(const kotar_archive& archive, const kotar_member& member, Attributes& attributes,
                       Node& node) {
        if (!attributes.sparse) return;
        if (attributes.sparseMapInData && !attributes.sparseDamaged) {
            std::string front;
            const bool read = readAll(archive, member, std::min<std::uint64_t>(member.size, kSparseMapFront), front);
            attributes.sparseDamaged = !read || !readSparseMapInData(front, member.size, attributes);
        }
        if (!attributes.sparseDamaged) checkPieces(attributes, member.size);
        if (attributes.sparseDamaged) warn(attributes.name + ": damaged sparse map; its reads fail");
        node.sparse = true;
        node.damaged = attributes.sparseDamaged;
        if (!attributes.pieces.empty()) extrasOf(node).pieces = std::move(attributes.pieces);
    }
};

void InodeTree::build(const kotar_archive& archive, const TreeOptions& options, const struct stat& madeUp,
                      void (*warn)(const std::string& message)) {
    nodes_.clear();
    entries_ = {};
    extras_.clear();
    texts_.clear();
    Building building{nodes_, entries_, extras_, texts_, options, madeUp, warn, {}, {}, {}, {}, 0};
    const std::size_t count = kotar_count(&archive);
    nodes_.reserve(count + 1);
    building.entryCounts.reserve(count + 1);
    entries_.reserve(count);
    building.add(building.madeUpDirectory(kRootInode));

    PaxState pax;
    for (std::size_t i = 0; i < count; ++i) {
        const kotar_member& member = *kotar_at(&archive, i);
        // Solaris tar's 'X' entry is an 'x' entry, as GNU tar and bsdtar read it.
        if (member.type == 'x' || member.type == 'X' || member.type == 'g') {
            std::string data;
            if (member.size > kLargestPaxData || !readAll(archive, member, member.size, data) ||
                !pax.take(data, member.type == 'g')) {
                warn(std::string(member.name) + ": pax records not applied");
            }
            continue;
        }
        kotar_details details{};
        kotar_member_details(&archive, &member, &details);
        Attributes attributes = headerAttributes(member, details);
        pax.apply(attributes);
        // Volume labels and continued members name no file. (An old renaming
        // list, 'N', is an unknown type to GNU tar, so a regular file.)
        if (member.type == 'V' || member.type == 'M') continue;
        building.place(archive, member, std::move(attributes));
    }
    list(building.entryCounts);
}

// Lists each directory's entries, in the order they were added, and counts
// its links: its own, its entry in its parent, and each subdirectory's "..".
void InodeTree::list(const std::vector<std::uint32_t>& entryCounts) {
    listingStart_.assign(nodes_.size() + 1, 0);
    for (std::size_t i = 0; i < nodes_.size(); ++i) listingStart_[i + 1] = listingStart_[i] + entryCounts[i];
    listing_.resize(entries_.size());
    std::vector<std::uint32_t> next(listingStart_.begin(), listingStart_.end() - 1);
    for (Node& node : nodes_) {
        if (S_ISDIR(node.mode)) node.links = 2;
    }
    for (std::uint32_t index = 0; index < entries_.size(); ++index) {
        const Entry& entry = entries_[index];
        if (entry.inode == 0) continue;  // removed
        listing_[next[entry.directory - 1]++] = index;
        if (S_ISDIR(nodes_[entry.inode - 1].mode)) ++nodes_[entry.directory - 1].links;
    }
}

const Node* InodeTree::find(Inode inode) const {
    return inode >= 1 && inode <= nodes_.size() ? &nodes_[inode - 1] : nullptr;
}

Inode InodeTree::lookup(Inode parent, std::string_view name) const {
    if (parent < 1 || parent > nodes_.size()) return 0;
    const std::uint32_t found = entries_.find(static_cast<std::uint32_t>(parent), name);
    return found == EntryTable::kNone ? 0 : entries_[found].inode;
}

const Entry* InodeTree::listed(Inode directory, std::size_t index) const {
    if (directory < 1 || directory > nodes_.size()) return nullptr;
    const std::uint32_t begin = listingStart_[directory - 1];
    const std::uint32_t end = listingStart_[directory];
    return index < end - begin ? &entries_[listing_[begin + index]] : nullptr;
}

std::span<const Piece> InodeTree::pieces(const Node& node) const {
    if (node.extras == 0) return {};
    return extras_[node.extras - 1].pieces;
}

const Xattrs& InodeTree::xattrs(const Node& node) const {
    static const Xattrs none;
    return node.extras == 0 ? none : extras_[node.extras - 1].xattrs;
}

}  // namespace kotarfs
