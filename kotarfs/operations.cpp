#include "kotarfs/operations.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "kotarfs/file_data.h"

namespace kotarfs {

namespace {

constexpr double kCacheSeconds = 86400.0;
constexpr std::size_t kNameMax = 255;

const MountedArchive& mounted(fuse_req_t request) {
    return *static_cast<const MountedArchive*>(fuse_req_userdata(request));
}

struct stat statOf(Inode inode, const Node& node) {
    struct stat info {};
    info.st_ino = inode;
    info.st_mode = node.mode;
    info.st_nlink = node.links;
    info.st_uid = node.uid;
    info.st_gid = node.gid;
    info.st_rdev = node.device;
    info.st_size = static_cast<off_t>(node.size);
    info.st_blksize = 4096;
    // Only a regular file's data takes room: a symbolic link's target is
    // kept with its inode, as squashfs keeps it, and ext4 a short one.
    const std::uint64_t stored = !S_ISREG(node.mode)                       ? 0
                                 : node.sparse && node.member != nullptr ? node.member->size
                                                                         : node.size;
    info.st_blocks = static_cast<blkcnt_t>((stored + 511) / 512);
    info.st_mtim.tv_sec = static_cast<time_t>(node.mtimeSeconds);
    info.st_mtim.tv_nsec = node.mtimeNanoseconds;
    info.st_atim = info.st_mtim;
    info.st_ctim = info.st_mtim;
    return info;
}

void initialize(void* data, fuse_conn_info* connection) {
    // libfuse ends the session unless init() asks for the -o max_read the
    // mount was made with.
    const unsigned maxRead = static_cast<const MountedArchive*>(data)->maxRead;
    if (maxRead != 0) connection->max_read = maxRead;
    // Data straight from the archive file into the kernel's pipe.
    if (connection->capable & FUSE_CAP_SPLICE_WRITE) connection->want |= FUSE_CAP_SPLICE_WRITE;
    if (connection->capable & FUSE_CAP_SPLICE_MOVE) connection->want |= FUSE_CAP_SPLICE_MOVE;
}

void lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
    // A name no file here can have (statfs's f_namemax), refused as the
    // kernel's file systems refuse it rather than looked for.
    if (std::strlen(name) > kNameMax) {
        fuse_reply_err(request, ENAMETOOLONG);
        return;
    }
    const MountedArchive& archive = mounted(request);
    fuse_entry_param entry{};
    entry.entry_timeout = kCacheSeconds;  // also for a name that is not there
    entry.attr_timeout = kCacheSeconds;
    entry.ino = archive.tree.lookup(parent, name);
    if (entry.ino != 0) entry.attr = statOf(entry.ino, *archive.tree.find(entry.ino));
    fuse_reply_entry(request, &entry);
}

void getattr(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
    const Node* node = mounted(request).tree.find(inode);
    if (node == nullptr) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    const struct stat info = statOf(inode, *node);
    fuse_reply_attr(request, &info, kCacheSeconds);
}

void readlink(fuse_req_t request, fuse_ino_t inode) {
    const Node* node = mounted(request).tree.find(inode);
    if (node == nullptr || !S_ISLNK(node->mode)) {
        fuse_reply_err(request, EINVAL);
        return;
    }
    fuse_reply_readlink(request, node->target.data());
}

void opendir(fuse_req_t request, fuse_ino_t inode, fuse_file_info* file) {
    const Node* node = mounted(request).tree.find(inode);
    if (node == nullptr || !S_ISDIR(node->mode)) {
        fuse_reply_err(request, ENOTDIR);
        return;
    }
    file->keep_cache = 1;
    file->cache_readdir = 1;
    fuse_reply_open(request, file);
}

void readdir(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info*) {
    const InodeTree& tree = mounted(request).tree;
    const Node* node = tree.find(inode);
    if (node == nullptr || !S_ISDIR(node->mode)) {
        fuse_reply_err(request, ENOTDIR);
        return;
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (!buffer) {
        fuse_reply_err(request, ENOMEM);
        return;
    }
    // Offsets: 0 ".", 1 "..", 2 + i the i-th entry.
    std::size_t used = 0;
    std::string name;  // the entry's name, ended by a NUL
    for (std::size_t at = static_cast<std::size_t>(offset < 0 ? 0 : offset);; ++at) {
        struct stat info {};
        if (at < 2) {
            name = at == 0 ? "." : "..";
            info.st_ino = at == 0 ? inode : node->parent;
            info.st_mode = S_IFDIR;
        } else {
            const Entry* entry = tree.listed(inode, at - 2);
            if (entry == nullptr) break;
            name = entry->name;
            info.st_ino = entry->inode;
            info.st_mode = tree.find(entry->inode)->mode;
        }
        const std::size_t need = fuse_add_direntry(request, buffer.get() + used, size - used, name.c_str(), &info,
                                                   static_cast<off_t>(at + 1));
        if (need > size - used) break;
        used += need;
    }
    fuse_reply_buf(request, buffer.get(), used);
}

void open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* file) {
    const Node* node = mounted(request).tree.find(inode);
    if (node == nullptr) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    if ((file->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(request, EROFS);
        return;
    }
    file->keep_cache = 1;
    fuse_reply_open(request, file);
}

void read(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info*) {
    const MountedArchive& archive = mounted(request);
    const Node* node = archive.tree.find(inode);
    if (node == nullptr || !S_ISREG(node->mode) || offset < 0) {
        fuse_reply_err(request, EINVAL);
        return;
    }
    const std::uint64_t at = static_cast<std::uint64_t>(offset);
    const std::size_t length = at >= node->size ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, node->size - at));
    int descriptor = -1;
    unsigned long long dataOffset = 0;
    if (length > 0 && !node->sparse && !node->damaged && node->member != nullptr &&
        kotar_data_fd(archive.archive, node->member, &descriptor, &dataOffset) == KOTAR_OK) {
        // Zero-copy: the kernel splices the bytes from the archive file.
        fuse_bufvec data = FUSE_BUFVEC_INIT(length);
        data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        data.buf[0].fd = descriptor;
        data.buf[0].pos = static_cast<off_t>(dataOffset + at);
        fuse_reply_data(request, &data, FUSE_BUF_SPLICE_MOVE);
        return;
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[length > 0 ? length : 1]);
    if (!buffer) {
        fuse_reply_err(request, ENOMEM);
        return;
    }
    const long long got = readFileData(*archive.archive, *node, archive.tree.pieces(*node), at, buffer.get(), length);
    if (got < 0) {
        fuse_reply_err(request, static_cast<int>(-got));
        return;
    }
    fuse_reply_buf(request, buffer.get(), static_cast<std::size_t>(got));
}

// SEEK_DATA and SEEK_HOLE (the kernel answers the other kinds itself): a
// sparse file's holes, as a file system that keeps holes shows them.
void lseek(fuse_req_t request, fuse_ino_t inode, off_t offset, int whence, fuse_file_info*) {
    const MountedArchive& archive = mounted(request);
    const Node* node = archive.tree.find(inode);
    if (node == nullptr || !S_ISREG(node->mode) || (whence != SEEK_DATA && whence != SEEK_HOLE)) {
        fuse_reply_err(request, EINVAL);
        return;
    }
    const long long at = offset < 0 ? -ENXIO
                                    : seekFileData(*node, archive.tree.pieces(*node), static_cast<std::uint64_t>(offset),
                                                   whence == SEEK_HOLE);
    if (at < 0) {
        fuse_reply_err(request, static_cast<int>(-at));
    } else {
        fuse_reply_lseek(request, static_cast<off_t>(at));
    }
}

// The xattr protocol: size 0 asks for the length; a smaller buffer is ERANGE.
void replyXattr(fuse_req_t request, const std::string& value, size_t size) {
    if (size == 0) {
        fuse_reply_xattr(request, value.size());
    } else if (size < value.size()) {
        fuse_reply_err(request, ERANGE);
    } else {
        fuse_reply_buf(request, value.data(), value.size());
    }
}

void getxattr(fuse_req_t request, fuse_ino_t inode, const char* name, size_t size) {
    const Node* node = mounted(request).tree.find(inode);
    if (node == nullptr) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    for (const auto& [key, value] : mounted(request).tree.xattrs(*node)) {
        if (key == name) {
            replyXattr(request, value, size);
            return;
        }
    }
    fuse_reply_err(request, ENODATA);
}

void listxattr(fuse_req_t request, fuse_ino_t inode, size_t size) {
    const Node* node = mounted(request).tree.find(inode);
    if (node == nullptr) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    std::string names;
    for (const auto& xattr : mounted(request).tree.xattrs(*node)) {
        names += xattr.first;
        names += '\0';
    }
    replyXattr(request, names, size);
}

void statfs(fuse_req_t request, fuse_ino_t) {
    const MountedArchive& archive = mounted(request);
    struct statvfs info {};
    info.f_bsize = 4096;
    info.f_frsize = 4096;
    info.f_blocks = (archive.archiveBytes + 4095) / 4096;
    info.f_files = archive.tree.size();
    info.f_namemax = kNameMax;
    info.f_flag = ST_RDONLY;
    fuse_reply_statfs(request, &info);
}

fuse_lowlevel_ops makeOperations() {
    fuse_lowlevel_ops operations{};
    operations.init = initialize;
    operations.lookup = lookup;
    operations.getattr = getattr;
    operations.readlink = readlink;
    operations.opendir = opendir;
    operations.readdir = readdir;
    operations.open = open;
    operations.read = read;
    operations.lseek = lseek;
    operations.getxattr = getxattr;
    operations.listxattr = listxattr;
    operations.statfs = statfs;
    return operations;
}

}  // namespace

const fuse_lowlevel_ops& archiveOperations() {
    static const fuse_lowlevel_ops operations = makeOperations();
    return operations;
}

}  // namespace kotarfs
