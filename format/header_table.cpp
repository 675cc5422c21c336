#include "format/header_table.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "format/indexed_layout.h"
#include "format/table_walk.h"

namespace kotar {

namespace {

// A text in the name pool.
struct PoolText {
    std::uint32_t at = 0;
    std::uint32_t length = 0;
};

// Appends `length` bytes to the pool, up to their first NUL, then a NUL.
// False when the pool would outgrow 32-bit offsets.
bool appendText(std::string& names, const unsigned char* bytes, std::size_t length, PoolText& text) {
    const void* nul = std::memchr(bytes, '\0', length);
    if (nul != nullptr) length = static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - bytes);
    if (names.size() + length + 1 > std::numeric_limits<std::uint32_t>::max()) return false;
    text.at = static_cast<std::uint32_t>(names.size());
    text.length = static_cast<std::uint32_t>(length);
    names.append(reinterpret_cast<const char*>(bytes), length);
    names.push_back('\0');
    return true;
}

}  // namespace

TableScan readHeaderTable(const HeaderBlock* blocks, std::size_t count, std::uint64_t fileSize,
                          HeaderTable& table) {
    table.members.clear();
    table.names.clear();
    table.blocks = 0;
    TableScan scan;
    const auto stop = [&scan](TableStatus status) {
        scan.status = status;
        return scan;
    };

    std::size_t at = 0;
    TableWalk walk([&](unsigned char* out) {
        if (at == count) return false;
        std::memcpy(out, blocks[at++].data(), kBlockSize);
        return true;
    });
    TableEntry entry;
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
        if (member.size > 0) {
            const std::uint64_t end = std::uint64_t{member.dataOffset} + member.size;
            if (end > kArchiveLimit || end > fileSize) return stop(TableStatus::badData);
        }

        PoolText name;
        PoolText linkName;
        const std::string_view nameText = entry.name();
        const std::string_view linkText = entry.linkName();
        if (!appendText(table.names, reinterpret_cast<const unsigned char*>(nameText.data()), nameText.size(), name) ||
            !appendText(table.names, reinterpret_cast<const unsigned char*>(linkText.data()), linkText.size(),
                        linkName)) {
            return stop(TableStatus::badField);
        }
        member.nameAt = name.at;
        member.nameLength = name.length;
        member.linkNameAt = linkName.at;
        member.linkNameLength = linkName.length;
        table.members.push_back(member);
    }
}

}  // namespace kotar
