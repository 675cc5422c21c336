#include "format/header_table.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "format/header_reader.h"
#include "format/indexed_layout.h"

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

    std::optional<PoolText> longName;
    std::optional<PoolText> longLinkName;
    std::size_t at = 0;
    HeaderReader reader([&](unsigned char* out) {
        if (at == count) return false;
        std::memcpy(out, blocks[at++].data(), kBlockSize);
        return true;
    });
    HeaderBlock block;
    for (;;) {
        switch (reader.next(block)) {
            case HeaderReader::Next::cutShort: return stop(TableStatus::needMore);
            case HeaderReader::Next::end:
                if (longName || longLinkName) return stop(TableStatus::badLongName);
                table.blocks = at - 1;
                return stop(TableStatus::complete);
            case HeaderReader::Next::header: break;
        }
        switch (checkHeader(block, kIndexedMagic)) {
            case HeaderCheck::valid: break;
            case HeaderCheck::badMagic: return stop(TableStatus::badMagic);
            case HeaderCheck::badChecksum: return stop(TableStatus::badChecksum);
        }
        // Sizes are octal text within 32 bits: kotar never writes another
        // form, and its other readers refuse one.
        const std::optional<std::int64_t> size = octalFieldFits(block, field::size)
                                                     ? std::optional<std::int64_t>(parseOctalField(block, field::size))
                                                     : std::nullopt;
        if (!size || *size < 0 || static_cast<std::uint64_t>(*size) >= kArchiveLimit) {
            return stop(TableStatus::badField);
        }

        // A long name's text, or a sparse member's extension blocks.
        LongNameText text(static_cast<std::uint64_t>(*size), std::numeric_limits<std::size_t>::max());
        const auto take = [&](const unsigned char* b) { return !isLongNameEntry(block) || text.take(b); };
        if (reader.follow(block, take) != HeaderReader::Follow::done) return stop(TableStatus::needMore);
        if (isLongNameEntry(block)) {
            PoolText pooled;
            if (!appendText(table.names, reinterpret_cast<const unsigned char*>(text.text().data()),
                            text.text().size(), pooled)) {
                return stop(TableStatus::badField);
            }
            (typeflagOf(block) == kTypeLongName ? longName : longLinkName) = pooled;
            continue;
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
}

}  // namespace kotar
