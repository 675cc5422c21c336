#include "kotarfs/inode_tree.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

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

namespace {

// An entry of a directory: the directory's inode and the entry's name.
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
    std::size_t operator()(const EntryKeyView& key) const {
        return std::hash<std::string_view>{}(key.name) ^ (key.directory * 0x9E3779B97F4A7C15u);
    }
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

}  // namespace

struct InodeTree::Building {
    std::vector<Node>& nodes;
    std::unordered_map<EntryKey, Inode, EntryHash, EntryEqual> entries;  // of every directory
    std::vector<std::uint32_t> entryCounts;                              // beside nodes
    const TreeOptions& options;
    const struct stat& madeUp;
    void (*warn)(const std::string&);
    std::vector<std::string_view> nameComponents;  // place()'s, kept for their room
    std::vector<std::string_view> linkComponents;

    Node& at(Inode inode) { return nodes[inode - 1]; }

    Inode add(Node node) {
        nodes.push_back(std::move(node));
        entryCounts.push_back(0);
        return nodes.size();
    }

    // The entry `name` of `directory`, 0 when there is none.
    Inode entry(Inode directory, std::string_view name) const {
        const auto found = entries.find(EntryKeyView{directory, name});
        return found == entries.end() ? 0 : found->second;
    }

    void setEntry(Inode directory, std::string_view name, Inode inode) {
        const auto [where, added] = entries.try_emplace(EntryKey{directory, std::string(name)}, inode);
        if (added) {
            ++entryCounts[directory - 1];
        } else {
            where->second = inode;
        }
    }

    std::int64_t uid(std::int64_t stored) const { return options.uid >= 0 ? options.uid : stored; }
    std::int64_t gid(std::int64_t stored) const { return options.gid >= 0 ? options.gid : stored; }

    Node madeUpDirectory(Inode parent) const {
        Node node;
        node.mode = S_IFDIR | 0755;
        node.uid = uid(madeUp.st_uid);
        node.gid = gid(madeUp.st_gid);
        node.mtime = madeUp.st_mtim;
        node.parent = parent;
        return node;
    }

    // The directory that holds the last component, made up where missing;
    // 0 when a component on the way is not a directory.
    Inode parentOf(const std::vector<std::string_view>& components) {
        Inode directory = kRootInode;
        for (std::size_t i = 0; i + 1 < components.size(); ++i) {
            const Inode found = entry(directory, components[i]);
            if (found == 0) {
                const Inode made = add(madeUpDirectory(directory));
                setEntry(directory, components[i], made);
                directory = made;
            } else if (S_ISDIR(at(found).mode)) {
                directory = found;
            } else {
                return 0;
            }
        }
        return directory;
    }

    // The inode a folded path names, 0 when none.
    Inode resolve(const std::vector<std::string_view>& components) const {
        Inode inode = kRootInode;
        for (const std::string_view component : components) {
            inode = entry(inode, component);
            if (inode == 0) return 0;
        }
        return inode;
    }

    // Drops the entry `name` of `directory`, if any, so that another takes
    // its place: false when it is a directory that is not empty.
    bool clear(Inode directory, std::string_view name, bool replacingWithDirectory) {
        const auto found = entries.find(EntryKeyView{directory, name});
        if (found == entries.end()) return true;
        Node& old = at(found->second);
        if (S_ISDIR(old.mode)) {
            if (replacingWithDirectory) return true;  // kept, with its entries
            if (entryCounts[found->second - 1] != 0) return false;
        }
        if (old.links > 0) --old.links;
        entries.erase(found);
        --entryCounts[directory - 1];
        return true;
    }

    void place(const kotar_archive& archive, const kotar_member& member, Attributes attributes) {
        std::vector<std::string_view>& components = nameComponents;
        if (!foldName(attributes.name, components)) {
            warn(attributes.name + ": Member name contains '..'");
            return;
        }
        const mode_t type = attributes.type == '1' ? 0 : fileType(attributes.type);
        if (components.empty()) {
            if (type == S_IFDIR) fill(at(kRootInode), member, attributes, type);
            return;
        }
        const Inode directory = parentOf(components);
        if (directory == 0) {
            warn(attributes.name + ": Cannot open: Not a directory");
            return;
        }
        const std::string_view name = components.back();

        if (attributes.type == '1') {
            std::vector<std::string_view>& targetComponents = linkComponents;
            const Inode target =
                foldName(attributes.linkName, targetComponents) ? resolve(targetComponents) : 0;
            if (target == 0 || S_ISDIR(at(target).mode)) {
                warn(attributes.name + ": Cannot hard link to '" + attributes.linkName + "'");
                return;
            }
            if (!clear(directory, name, false)) {
                warn(attributes.name + ": Cannot replace a directory that is not empty");
                return;
            }
            ++at(target).links;
            setEntry(directory, name, target);
            return;
        }

        const Inode found = entry(directory, name);
        if (type == S_IFDIR && found != 0 && S_ISDIR(at(found).mode)) {
            fill(at(found), member, attributes, type);
            return;
        }
        if (!clear(directory, name, false)) {
            warn(attributes.name + ": Cannot replace a directory that is not empty");
            return;
        }
        Node node;
        node.parent = directory;
        fill(node, member, attributes, type);
        if (S_ISREG(type)) readSparseMap(archive, member, attributes, node);
        const Inode inode = add(std::move(node));
        setEntry(directory, name, inode);
    }

    void fill(Node& node, const kotar_member& member, const Attributes& attributes, mode_t type) {
        node.mode = type | attributes.permissions;
        node.uid = uid(attributes.uid);
        node.gid = gid(attributes.gid);
        node.mtime.tv_sec = static_cast<time_t>(attributes.mtimeSeconds);
        node.mtime.tv_nsec = attributes.mtimeNanoseconds;
        node.xattrs = attributes.xattrs;
        if (S_ISREG(type)) {
            node.member = &member;
            node.size = attributes.sparse ? attributes.size : member.size;
        } else if (S_ISLNK(type)) {
            node.target = attributes.linkName;
            node.size = node.target.size();
        } else if (S_ISCHR(type) || S_ISBLK(type)) {
            node.device = attributes.device;
        }
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
        node.pieces = std::move(attributes.pieces);
    }
};

void InodeTree::build(const kotar_archive& archive, const TreeOptions& options, const struct stat& madeUp,
                      void (*warn)(const std::string& message)) {
    nodes_.clear();
    Building building{nodes_, {}, {}, options, madeUp, warn, {}, {}};
    const std::size_t count = kotar_count(&archive);
    nodes_.reserve(count + 1);
    building.entryCounts.reserve(count + 1);
    building.entries.reserve(count);
    building.add(building.madeUpDirectory(kRootInode));

    PaxState pax;
    for (std::size_t i = 0; i < count; ++i) {
        const kotar_member& member = *kotar_at(&archive, i);
        if (member.type == 'x' || member.type == 'g') {
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
        // Volume labels, continued members and old renaming lists name no file.
        if (member.type == 'V' || member.type == 'M' || member.type == 'N') continue;
        building.place(archive, member, std::move(attributes));
    }

    // Directories: their entries sorted, and a link from each subdirectory.
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        if (!S_ISDIR(nodes_[i].mode)) continue;
        nodes_[i].links = 2;
        nodes_[i].entries.reserve(building.entryCounts[i]);
    }
    for (auto& [key, inode] : building.entries) {
        Node& directory = nodes_[key.directory - 1];
        directory.entries.emplace_back(std::move(key.name), inode);
        if (S_ISDIR(nodes_[inode - 1].mode)) ++directory.links;
    }
    for (Node& node : nodes_) std::sort(node.entries.begin(), node.entries.end());
}

const Node* InodeTree::find(Inode inode) const {
    return inode >= 1 && inode <= nodes_.size() ? &nodes_[inode - 1] : nullptr;
}

Inode InodeTree::lookup(Inode parent, const std::string& name) const {
    const Node* directory = find(parent);
    if (directory == nullptr || !S_ISDIR(directory->mode)) return 0;
    const auto found = std::lower_bound(directory->entries.begin(), directory->entries.end(), name,
                                        [](const auto& entry, const std::string& key) { return entry.first < key; });
    return found != directory->entries.end() && found->first == name ? found->second : 0;
}

}  // namespace kotarfs
