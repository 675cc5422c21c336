#include "format/header_table.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "format/indexed_layout.h"
#include "format/table_walk.h"

namespace kotar {

namespace {

// The most members the first data offset reserves room for, and
// the most bytes it reserves for their texts.
constexpr std::size_t kMembersReservedAtMost = 65536;
constexpr std::size_t kTextReservedAtMost = 8 * 1024 * 1024;

// Appends `length` bytes to the pool, up to their first NUL, then a NUL, and
// stores where the text starts in `at`. False when the pool would outgrow
// 32-bit offsets.
bool appendText(std::string& names, const unsigned char* bytes, std::size_t length, std::uint32_t& at) {
    const void* nul = std::memchr(bytes, '\0', length);
    if (nul != nullptr) length = static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - bytes);
    if (names.size() + length + 1 > std::numeric_limits<std::uint32_t>::max()) return false;
    at = static_cast<std::uint32_t>(names.size());
    names.append(reinterpret_cast<const char*>(bytes), length);
    names.push_back('\0');
    return true;
}

// The entries of a sparse data map, from `count` slots of 24 bytes at `at`
// (offset and length, octal text of 12 bytes each). An empty offset field
// ends the map; false for a field that is not a number.
bool takeSparseEntries(const HeaderBlock& block, std::size_t at, std::size_t count,
                       std::vector<SparseExtent>& sparse, bool& ended) {
    for (std::size_t slot = 0; slot < count && !ended; ++slot) {
        const HeaderField offset{at + 24 * slot, 12};
        const HeaderField length{at + 24 * slot + 12, 12};
        if (block[offset.offset] == '\0') {
            ended = true;
            break;
        }
        const std::optional<std::int64_t> from = parseNumericField(block, offset);
        const std::optional<std::int64_t> bytes = parseNumericField(block, length);
        if (!from || !bytes || *from < 0 || *bytes < 0) return false;
        sparse.push_back({static_cast<std::uint64_t>(*from), static_cast<std::uint64_t>(*bytes)});
    }
    return true;
}


}  // namespace

TableScan readHeaderTable(const HeaderReader::ReadBlock& read, std::uint64_t fileSize, HeaderTable& table,
                          MemberSink& members) {
    table.names.clear();
    table.sparse.clear();
    table.blocks = 0;
    TableScan scan;
    const auto stop = [&scan](TableStatus status) {
        scan.status = status;
        return scan;
    };

    // A sparse member's extension blocks, for its data map.
    std::vector<HeaderBlock> extensions;
    const auto see = [&extensions](TableWalk::BlockRole role, const unsigned char* block) {
        if (role == TableWalk::BlockRole::header) extensions.clear();
        if (role == TableWalk::BlockRole::extension) std::memcpy(extensions.emplace_back().data(), block, kBlockSize);
        return true;
    };
    TableWalk walk(read, TableWalk::Checksums::refuse, see);
    TableEntry entry;
    bool reserved = false;
    for (;;) {
        switch (walk.next(entry)) {
            case WalkStep::entry: break;
            case WalkStep::end:
                table.blocks = walk.blocksRead() - 1;
                return stop(TableStatus::complete);
            case WalkStep::cutShort:
            case WalkStep::refused: return stop(TableStatus::needMore);
            case WalkStep::badMagic: return stop(TableStatus::badMagic);
            case WalkStep::badChecksum: return stop(TableStatus::badChecksum);
            case WalkStep::badSize: return stop(TableStatus::badField);
            case WalkStep::badLongName: return stop(TableStatus::badLongName);
        }
        const HeaderBlock& block = entry.header;
        TableMember member;
        member.type = typeflagOf(block);
        const std::optional<std::int64_t> mode = parseNumericField(block, field::mode);
        const std::optional<std::int64_t> uid = parseNumericField(block, field::uid);
        const std::optional<std::int64_t> gid = parseNumericField(block, field::gid);
        const std::optional<std::int64_t> mtime = parseNumericField(block, field::mtime);
        if (!mode || !uid || !gid || !mtime) return stop(TableStatus::badField);
        member.mode = *mode;
        member.uid = *uid;
        member.gid = *gid;
        member.mtime = *mtime;
        if (!entry.size) return stop(TableStatus::badField);
        member.size = *entry.size;
        member.dataOffset = readExtensionField(block, kDataOffsetAt);
        member.textOffset = readExtensionField(block, kTextOffsetAt);
        member.textPgs = readExtensionField(block, kTextPgsAt);
        member.fixUpPgs = readExtensionField(block, kFixUpPgsAt);
        member.realSize = member.size;
        if (typeflagOf(block) == kTypeSparse) {
            const std::size_t first = table.sparse.size();
            bool ended = false;
            bool sound = takeSparseEntries(block, kSparseMapAt, kSparseHeaderRegions, table.sparse, ended);
            for (const HeaderBlock& extension : extensions) {
                sound = sound && takeSparseEntries(extension, 0, kSparseExtensionRegions, table.sparse, ended);
            }
            const std::optional<std::int64_t> realSize = parseNumericField(block, field::sparseRealSize);
            if (!sound || !realSize || *realSize < 0) return stop(TableStatus::badField);
            member.realSize = static_cast<std::uint64_t>(*realSize);
            member.sparseAt = static_cast<std::uint32_t>(first);
            member.sparseCount = static_cast<std::uint32_t>(table.sparse.size() - first);
        }
        member.devMajor = parseNumericField(block, field::devmajor).value_or(0);
        member.devMinor = parseNumericField(block, field::devminor).value_or(0);
        if (!appendText(table.names, block.data() + field::uname.offset, field::uname.width, member.unameAt) ||
            !appendText(table.names, block.data() + field::gname.offset, field::gname.width, member.gnameAt)) {
            return stop(TableStatus::badField);
        }
        if (member.size > 0) {
            const std::uint64_t end = std::uint64_t{member.dataOffset} + member.size;
            if (end > kArchiveLimit || end > fileSize) return stop(TableStatus::badData);
            // The table ends before the first data: room for as many members
            // as blocks before it, up to a bound, saves growing the lists; and
            // their texts, which the blocks hold, fit in as many bytes.
            if (!reserved) {
                members.expect(std::min<std::size_t>(member.dataOffset / kBlockSize, kMembersReservedAtMost));
                table.names.reserve(std::min<std::size_t>(member.dataOffset, kTextReservedAtMost));
                reserved = true;
            }
        }

        const std::string_view nameText = entry.name();
        const std::string_view linkText = entry.linkName();
        if (!appendText(table.names, reinterpret_cast<const unsigned char*>(nameText.data()), nameText.size(),
                        member.nameAt) ||
            !appendText(table.names, reinterpret_cast<const unsigned char*>(linkText.data()), linkText.size(),
                        member.linkNameAt)) {
            return stop(TableStatus::badField);
        }
        members.take(member);
    }
}

}  // namespace kotar
