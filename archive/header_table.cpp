#include "archive/header_table.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "archive/indexed_layout.h"

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

// The text of a 'K' / 'L' entry: `size` bytes over the blocks that follow
// it, up to the first NUL.
bool appendLongText(std::string& names, const HeaderBlock* blocks, std::uint64_t size, PoolText& text) {
    std::uint64_t length = 0;  // bytes before the first NUL
    for (const HeaderBlock* block = blocks; length < size; ++block) {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(size - length, kBlockSize));
        const void* nul = std::memchr(block->data(), '\0', part);
        if (nul != nullptr) {
            length += static_cast<std::uint64_t>(static_cast<const unsigned char*>(nul) - block->data());
            break;
        }
        length += part;
    }
    if (names.size() + length + 1 > std::numeric_limits<std::uint32_t>::max()) return false;
    text.at = static_cast<std::uint32_t>(names.size());
    text.length = static_cast<std::uint32_t>(length);
    for (std::uint64_t left = length; left > 0; ++blocks) {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(left, kBlockSize));
        names.append(reinterpret_cast<const char*>(blocks->data()), part);
        left -= part;
    }
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

    std::optional<PoolText> longName;
    std::optional<PoolText> longLinkName;
    std::size_t at = 0;
    while (at < count) {
        const HeaderBlock& block = blocks[at];
        if (isZeroBlock(block)) {
            if (longName || longLinkName) return stop(TableStatus::badLongName);
            table.blocks = at;
            return stop(TableStatus::complete);
        }
        if (!hasMagic(block, kIndexedMagic)) return stop(TableStatus::badMagic);
        if (!verifyHeaderChecksum(block)) return stop(TableStatus::badChecksum);
        // Sizes are octal text within 32 bits: kotar never writes another
        // form, and its other readers refuse one.
        const std::optional<std::int64_t> size = octalFieldFits(block, field::size)
                                                     ? std::optional<std::int64_t>(parseOctalField(block, field::size))
                                                     : std::nullopt;
        if (!size || *size < 0 || static_cast<std::uint64_t>(*size) >= kArchiveLimit) {
            return stop(TableStatus::badField);
        }
        ++at;

        if (isLongNameEntry(block)) {
            const std::uint64_t textBlocks = blocksFor(static_cast<std::uint64_t>(*size));
            if (textBlocks > count - at) return stop(TableStatus::needMore);
            PoolText text;
            if (!appendLongText(table.names, blocks + at, static_cast<std::uint64_t>(*size), text)) {
                return stop(TableStatus::badField);
            }
            (typeflagOf(block) == kTypeLongName ? longName : longLinkName) = text;
            at += static_cast<std::size_t>(textBlocks);
            continue;
        }
        if (hasSparseExtension(block)) {
            bool another = true;
            while (another) {
                if (at == count) return stop(TableStatus::needMore);
                another = blocks[at][kSparseExtensionExtendedAt] != 0;
                ++at;
            }
        }

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
        member.size = static_cast<std::uint64_t>(*size);
        member.dataOffset = readExtensionField(block, kDataOffsetAt);
        member.textOffset = readExtensionField(block, kTextOffsetAt);
        member.textPgs = readExtensionField(block, kTextPgsAt);
        member.fixUpPgs = readExtensionField(block, kFixUpPgsAt);
        if (member.size > 0) {
            const std::uint64_t end = std::uint64_t{member.dataOffset} + member.size;
            if (end > kArchiveLimit || end > fileSize) return stop(TableStatus::badData);
            if (scan.dataHint == 0 || member.dataOffset < scan.dataHint) scan.dataHint = member.dataOffset;
        }

        PoolText name;
        PoolText linkName;
        if (longName) {
            name = *longName;
        } else if (!appendText(table.names, block.data() + field::name.offset, field::name.width, name)) {
            return stop(TableStatus::badField);
        }
        if (longLinkName) {
            linkName = *longLinkName;
        } else if (!appendText(table.names, block.data() + field::linkname.offset, field::linkname.width,
                               linkName)) {
            return stop(TableStatus::badField);
        }
        longName.reset();
        longLinkName.reset();
        member.nameAt = name.at;
        member.nameLength = name.length;
        member.linkNameAt = linkName.at;
        member.linkNameLength = linkName.length;
        table.members.push_back(member);
    }
    return stop(TableStatus::needMore);
}

}  // namespace kotar
