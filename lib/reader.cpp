// The C interface of libkotar over the header table reader and the archive
// source (a ktar, a kgz read through checkpoints, a zstd or xz cache).
#include "kotar/reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_descriptor.h"
#include "format/header_block.h"
#include "lib/archive_source.h"
#include "format/indexed_layout.h"
#include "format/header_table.h"
#include "lib/map_text.h"
#include "lib/name_index.h"

struct kotar_archive {
    kotar::ArchiveSource source;
    std::string names;  // every member's texts, each followed by a NUL
    std::vector<kotar_member> members;
    std::vector<kotar_details> details;  // beside members, one each
    std::vector<kotar_extent> sparse;
    kotar::NameIndex index;
};

namespace {

using kotar::kBlockSize;
using kotar::HeaderBlock;
using kotar::TableStatus;

// The table is read from the front of the file in windows of this much:
// small enough to come from the heap and stay there. A 128 KiB window was
// mapped and unmapped by malloc, and its first touches made the first open
// of the /usr/bin archive in a process take 0.57 ms rather than 0.44.
constexpr std::size_t kWindowBlocks = 32 * 1024 / kBlockSize;

int statusOf(TableStatus status) {
    switch (status) {
        case TableStatus::complete: return KOTAR_OK;
        case TableStatus::needMore: return KOTAR_ETRUNCATED;
        case TableStatus::badMagic: return KOTAR_EMAGIC;
        case TableStatus::badChecksum: return KOTAR_ECHECKSUM;
        case TableStatus::badField: return KOTAR_EFIELD;
        case TableStatus::badLongName: return KOTAR_ELONGNAME;
        case TableStatus::badData: return KOTAR_EDATA;
    }
    return KOTAR_EREAD;
}

// Hands out the front of the file block by block, read a window at a time.
class FrontReader {
public:
    explicit FrontReader(const kotar::ArchiveSource& source) : source_(source) {}

    bool next(unsigned char* out) {
        if (at_ == held_ && !readOn()) return false;
        std::memcpy(out, window_[at_++].data(), kBlockSize);
        return true;
    }
    int failure() const { return failure_; }

private:
    bool readOn() {
        const std::uint64_t fileBlocks = source_.size() / kBlockSize;
        if (fileBlocks <= start_ + held_) return false;
        start_ += held_;
        at_ = held_ = 0;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBlocks, fileBlocks - start_));
        long long got = source_.read(window_.data(), want * kBlockSize, start_ * kBlockSize);
        if (got == KOTAR_EDAMAGED) got = readUpToDamage(want);
        if (got < 0) {
            failure_ = static_cast<int>(got);
            return false;
        }
        if (got != static_cast<long long>(want * kBlockSize) && source_.sizeKnown() &&
            source_.kind() != kotar::ArchiveSource::Kind::gzip) {
            failure_ = KOTAR_EREAD;  // the file shrank
            return false;
        }
        held_ = static_cast<std::size_t>(got) / kBlockSize;  // a kgz may end sooner than was asked
        return held_ > 0;
    }

    // A kgz damaged within the window: its blocks one by one, up to the
    // damage, which may lie past the table, in data that only a read of it
    // is to fail on.
    long long readUpToDamage(std::size_t want) {
        std::size_t whole = 0;
        long long got = 0;
        while (whole < want) {
            got = source_.read(window_[whole].data(), kBlockSize, (start_ + whole) * kBlockSize);
            if (got != static_cast<long long>(kBlockSize)) break;
            ++whole;
        }
        if (whole == 0) return got < 0 ? got : static_cast<long long>(KOTAR_EDAMAGED);
        return static_cast<long long>(whole * kBlockSize);
    }

    const kotar::ArchiveSource& source_;
    std::array<HeaderBlock, kWindowBlocks> window_;
    std::uint64_t start_ = 0;  // the file block window_[0] holds
    std::size_t held_ = 0;
    std::size_t at_ = 0;
    int failure_ = KOTAR_OK;
};

// Builds the archive's members as the table walk reads them. Their texts
// are pointed at once the name pool is whole, since it moves as it grows.
class ArchiveMembers final : public kotar::MemberSink {
public:
    explicit ArchiveMembers(kotar_archive& archive) : archive_(archive) {}

    void expect(std::size_t members) override {
        archive_.members.reserve(members);
        archive_.details.reserve(members);
        texts_.reserve(members);
    }

    void take(const kotar::TableMember& member) override {
        kotar_member& entry = archive_.members.emplace_back();
        entry.type = static_cast<char>(member.type);
        entry.aligned = member.type == kotar::kTypeAlignedExecutable;
        entry.mode = member.mode;
        entry.uid = member.uid;
        entry.gid = member.gid;
        entry.mtime = member.mtime;
        entry.size = member.size;
        entry.data_offset = member.dataOffset;
        entry.text_offset = member.textOffset;
        entry.text_pages = member.textPgs;
        entry.fixup_pages = member.fixUpPgs;
        kotar_details& details = archive_.details.emplace_back();
        details.devmajor = member.devMajor;
        details.devminor = member.devMinor;
        details.real_size = member.realSize;
        details.sparse_count = member.sparseCount;
        texts_.push_back({member.nameAt, member.linkNameAt, member.unameAt, member.gnameAt, member.sparseAt});
    }

    // Forgets what an earlier walk took.
    void clear() {
        archive_.members.clear();
        archive_.details.clear();
        texts_.clear();
    }

    // Takes over the walk's texts and extents, and points every member at
    // its own.
    void finish(kotar::HeaderTable& table) {
        archive_.names = std::move(table.names);
        archive_.sparse.reserve(table.sparse.size());
        for (const kotar::SparseExtent& extent : table.sparse) archive_.sparse.push_back({extent.offset, extent.length});
        const char* names = archive_.names.data();
        for (std::size_t i = 0; i < texts_.size(); ++i) {
            const Texts& texts = texts_[i];
            archive_.members[i].name = names + texts.name;
            archive_.members[i].link_name = names + texts.linkName;
            kotar_details& details = archive_.details[i];
            details.uname = names + texts.uname;
            details.gname = names + texts.gname;
            details.sparse = details.sparse_count > 0 ? archive_.sparse.data() + texts.sparse : nullptr;
        }
    }

private:
    // Where a member's texts stand in the name pool, and its extents.
    struct Texts {
        std::uint32_t name;
        std::uint32_t linkName;
        std::uint32_t uname;
        std::uint32_t gname;
        std::uint32_t sparse;
    };

    kotar_archive& archive_;
    std::vector<Texts> texts_;
};

// Reads the header table into the archive's members, taking in the front of
// the file as the table walk goes: what is held stays within one window,
// whatever a header's data offset says about where the table ends.
int readTable(kotar_archive& archive) {
    kotar::HeaderTable table;
    ArchiveMembers members(archive);
    const auto scan = [&](std::uint64_t fileSize) -> int {
        std::unique_ptr<FrontReader> front(new (std::nothrow) FrontReader(archive.source));
        if (!front) return KOTAR_ENOMEM;
        members.clear();
        const kotar::TableScan result = kotar::readHeaderTable(
            [&front](unsigned char* out) { return front->next(out); }, fileSize, table, members);
        return front->failure() != KOTAR_OK ? front->failure() : statusOf(result.status);
    };
    const std::uint64_t fileSize = archive.source.size();
    int status = scan(fileSize);
    // A kgz whose reads met its end: its data must lie within it.
    if (status == KOTAR_OK && archive.source.size() != fileSize) status = scan(archive.source.size());
    if (status == KOTAR_OK) members.finish(table);
    return status;
}

int openArchive(kotar::FileDescriptor file, kotar_archive** out) {
    std::unique_ptr<kotar_archive> archive(new (std::nothrow) kotar_archive);
    if (!archive) return KOTAR_ENOMEM;
    int status = archive->source.open(std::move(file));
    if (status != KOTAR_OK) return status;
    status = readTable(*archive);
    if (status != KOTAR_OK) return status;
    *out = archive.release();
    return KOTAR_OK;
}

// Whether `member` is one of the archive's own members.
bool ownsMember(const kotar_archive* archive, const kotar_member* member) {
    if (archive == nullptr || member == nullptr || archive->members.empty()) return false;
    const auto first = reinterpret_cast<std::uintptr_t>(archive->members.data());
    const auto at = reinterpret_cast<std::uintptr_t>(member);
    return at >= first && (at - first) / sizeof(kotar_member) < archive->members.size() &&
           (at - first) % sizeof(kotar_member) == 0;
}

int openGuarded(kotar::FileDescriptor file, kotar_archive** out) {
    // The standard containers report exhausted memory by throwing; it stops
    // here, at the edge of the C interface.
    try {
        return openArchive(std::move(file), out);
    } catch (const std::bad_alloc&) {
        return KOTAR_ENOMEM;
    }
}

}  // namespace

namespace kotar {

int mapText(const kotar_archive* archive, const kotar_member* member, int executable, std::uint64_t pageSize,
            const void** address, std::size_t* length) {
    if (!ownsMember(archive, member) || address == nullptr || length == nullptr) return KOTAR_EINVAL;
    if (!member->aligned) return KOTAR_ENOTALIGNED;
    if (archive->source.descriptor() < 0) return KOTAR_ECOMPRESSED;
    if (member->text_pages == 0) return KOTAR_ENOTEXT;
    const std::uint64_t bytes = std::uint64_t{member->text_pages} * kPageSize;
    if (member->text_offset + bytes > member->size) return KOTAR_ETEXTRANGE;
    const std::uint64_t start = std::uint64_t{member->data_offset} + member->text_offset;
    if (pageSize == 0 || start % pageSize != 0) return KOTAR_EPAGEOFFSET;
    // The last page mapped may hold bytes after the text: the member's own,
    // or the never-written gap after them, but not the next member's.
    const std::uint64_t paddedEnd = roundUp(std::uint64_t{member->data_offset} + member->size, kPageSize);
    if (start + roundUp(bytes, pageSize) > paddedEnd) return KOTAR_ETEXTRANGE;
    const int protection = PROT_READ | (executable ? PROT_EXEC : 0);
    void* mapped = ::mmap(nullptr, static_cast<std::size_t>(bytes), protection, MAP_PRIVATE, archive->source.descriptor(),
                          static_cast<off_t>(start));
    if (mapped == MAP_FAILED) return KOTAR_EMAP;
    *address = mapped;
    *length = static_cast<std::size_t>(bytes);
    return KOTAR_OK;
}

}  // namespace kotar

extern "C" {

int kotar_open(const char* path, kotar_archive** out) {
    if (out == nullptr) return KOTAR_EINVAL;
    *out = nullptr;
    if (path == nullptr) return KOTAR_EINVAL;
    // Opened without waiting, so that a FIFO with no writer is refused as
    // not a regular file instead of blocking the open; regular files are
    // then read in the usual, blocking way. A file under another process's
    // lease refuses such an open: that one waits for the lease, as before.
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY;
    kotar::FileDescriptor file(::open(path, kFlags | O_NONBLOCK));
    if (!file.valid() && errno == EWOULDBLOCK) file = kotar::FileDescriptor(::open(path, kFlags));
    if (!file.valid()) return KOTAR_EOPEN;
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return KOTAR_EOPEN;
    return openGuarded(std::move(file), out);
}

int kotar_open_fd(int fd, kotar_archive** out) {
    if (out == nullptr) return KOTAR_EINVAL;
    *out = nullptr;
    kotar::FileDescriptor file(::fcntl(fd, F_DUPFD_CLOEXEC, kotar::kFirstOwnDescriptor));
    // Not a descriptor; or one, with no other to be had for the archive.
    if (!file.valid()) return errno == EBADF ? KOTAR_EINVAL : KOTAR_EOPEN;
    return openGuarded(std::move(file), out);
}

void kotar_close(kotar_archive* archive) { delete archive; }

size_t kotar_count(const kotar_archive* archive) { return archive == nullptr ? 0 : archive->members.size(); }

const kotar_member* kotar_at(const kotar_archive* archive, size_t index) {
    if (archive == nullptr || index >= archive->members.size()) return nullptr;
    return &archive->members[index];
}

const kotar_member* kotar_find(const kotar_archive* archive, const char* name) {
    if (archive == nullptr || name == nullptr) return nullptr;
    // The index is made at the first lookup; without the memory for it,
    // no member is found (and the next lookup tries again).
    try {
        const std::optional<std::size_t> index = archive->index.find(name, archive->members);
        return index ? &archive->members[*index] : nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

long long kotar_read(const kotar_archive* archive, const kotar_member* member, unsigned long long offset,
                     void* buffer, size_t count) {
    if (!ownsMember(archive, member) || (buffer == nullptr && count > 0)) return KOTAR_EINVAL;
    if (offset >= member->size) return 0;
    const std::uint64_t length = std::min<std::uint64_t>(count, member->size - offset);
    return archive->source.read(buffer, static_cast<std::size_t>(length), member->data_offset + offset);
}

int kotar_member_details(const kotar_archive* archive, const kotar_member* member, kotar_details* details) {
    if (!ownsMember(archive, member) || details == nullptr) return KOTAR_EINVAL;
    *details = archive->details[static_cast<std::size_t>(member - archive->members.data())];
    return KOTAR_OK;
}

int kotar_data_fd(const kotar_archive* archive, const kotar_member* member, int* fd, unsigned long long* offset) {
    if (!ownsMember(archive, member) || fd == nullptr || offset == nullptr) return KOTAR_EINVAL;
    if (archive->source.descriptor() < 0) return KOTAR_ECOMPRESSED;
    *fd = archive->source.descriptor();
    *offset = member->data_offset;
    return KOTAR_OK;
}

int kotar_map_text(const kotar_archive* archive, const kotar_member* member, int executable,
                   const void** address, size_t* length) {
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return kotar::mapText(archive, member, executable, pageSize > 0 ? static_cast<std::uint64_t>(pageSize) : 0,
                          address, length);
}

int kotar_unmap_text(const void* address, size_t length) {
    if (address == nullptr || length == 0) return KOTAR_EINVAL;
    return ::munmap(const_cast<void*>(address), length) == 0 ? KOTAR_OK : KOTAR_EMAP;
}

const char* kotar_strerror(int status) {
    switch (status) {
        case KOTAR_OK: return "success";
        case KOTAR_EINVAL: return "invalid argument";
        case KOTAR_ENOMEM: return "out of memory";
        case KOTAR_EOPEN: return "unable to open the archive";
        case KOTAR_ENOTREGULAR: return "the archive is not a regular file";
        case KOTAR_EREAD: return "unable to read the archive";
        case KOTAR_ETRUNCATED: return "the archive ends inside its header table";
        case KOTAR_EMAGIC: return "a header without the kotar magic";
        case KOTAR_ECHECKSUM: return "a header checksum mismatch";
        case KOTAR_EFIELD: return "a header field out of range";
        case KOTAR_ELONGNAME: return "a long name without a member after it";
        case KOTAR_EDATA: return "member data outside the archive";
        case KOTAR_ENOTALIGNED: return "the member is not an aligned executable";
        case KOTAR_ENOTEXT: return "the member has no text pages";
        case KOTAR_ETEXTRANGE: return "the text runs past the member's data";
        case KOTAR_EPAGEOFFSET: return "the text is not on a page boundary";
        case KOTAR_EMAP: return "unable to map the text";
        case KOTAR_EDAMAGED: return "the compressed archive is damaged";
        case KOTAR_ECOMPRESSED: return "the archive is compressed";
        case KOTAR_ECACHE: return "unable to write the archive's cache file";
    }
    return "unknown status";
}

}  // extern "C"
