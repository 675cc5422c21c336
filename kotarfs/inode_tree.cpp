#include "kotarfs/inode_tree.h"

#include <algorithm>
#include <map>

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

bool foldName(const std::string& name, std::vector<std::string>& components) {
    components.clear();
    std::size_t at = 0;
    while (at <= name.size()) {
        const std::size_t slash = std::min(name.find('/', at), name.size());
        const std::string part = name.substr(at, slash - at);
        if (part == "..") return false;
        if (!part.empty() && part != ".") components.push_back(part);
        at = slash + 1;
    }
    return true;
}

struct InodeTree::Building {
    std::vector<Node>& nodes;
    std::vector<std::map<std::string, Inode>> children;  // beside nodes
    const TreeOptions& options;
    const struct stat& madeUp;
    void (*warn)(const std::string&);

    Node& at(Inode inode) { return nodes[inode - 1]; }

    Inode add(Node node) {
        nodes.push_back(std::move(node));
        children.emplace_back();
        return nodes.size();
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
    Inode parentOf(const std::vector<std::string>& components) {
        Inode directory = kRootInode;
        for (std::size_t i = 0; i + 1 < components.size(); ++i) {
            const auto found = children[directory - 1].find(components[i]);
            if (found == children[directory - 1].end()) {
                const Inode made = add(madeUpDirectory(directory));
                children[directory - 1][components[i]] = made;
                directory = made;
            } else if (S_ISDIR(at(found->second).mode)) {
                directory = found->second;
            } else {
                return 0;
            }
        }
        return directory;
    }

    // The inode a folded path names, 0 when none.
    Inode resolve(const std::vector<std::string>& components) {
        Inode inode = kRootInode;
        for (const std::string& component : components) {
            const auto found = children[inode - 1].find(component);
            if (found == children[inode - 1].end()) return 0;
            inode = found->second;
        }
        return inode;
    }

    // Drops the entry `name` of `directory`, if any, so that another takes
    // its place: false when it is a directory that is not empty.
    bool clear(Inode directory, const std::string& name, bool replacingWithDirectory) {
        const auto found = children[directory - 1].find(name);
        if (found == children[directory - 1].end()) return true;
        Node& old = at(found->second);
        if (S_ISDIR(old.mode)) {
            if (replacingWithDirectory) return true;  // kept, with its entries
            if (!children[found->second - 1].empty()) return false;
        }
        if (old.links > 0) --old.links;
        children[directory - 1].erase(found);
        return true;
    }

    void place(const kotar_archive& archive, const kotar_member& member, Attributes attributes) {
        std::vector<std::string> components;
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
        const std::string& name = components.back();

        if (attributes.type == '1') {
            std::vector<std::string> targetComponents;
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
            children[directory - 1][name] = target;
            return;
        }

        const auto found = children[directory - 1].find(name);
        if (type == S_IFDIR && found != children[directory - 1].end() && S_ISDIR(at(found->second).mode)) {
            fill(at(found->second), member, attributes, type);
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
        children[directory - 1][name] = inode;
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
    Building building{nodes_, {}, options, madeUp, warn};
    building.add(building.madeUpDirectory(kRootInode));

    PaxState pax;
    const std::size_t count = kotar_count(&archive);
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
        Node& node = nodes_[i];
        if (!S_ISDIR(node.mode)) continue;
        node.links = 2;
        for (const auto& [name, inode] : building.children[i]) {
            node.entries.emplace_back(name, inode);
            if (S_ISDIR(nodes_[inode - 1].mode)) ++node.links;
        }
    }
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
