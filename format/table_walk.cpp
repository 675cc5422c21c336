#include "format/table_walk.h"

#include "format/indexed_layout.h"

namespace kotar {

std::string_view TableEntry::name() const {
    return hasLongName ? std::string_view(longName) : fieldText(header, field::name);
}

std::string_view TableEntry::linkName() const {
    return hasLongLinkName ? std::string_view(longLinkName) : fieldText(header, field::linkname);
}

bool TableWalk::read(HeaderBlock& block) {
    if (!reader_.nextBlock(block)) return false;
    ++blocksRead_;
    return true;
}

void TableEntry::clearForNextRead() {
    longName.clear();
    longLinkName.clear();
    hasLongName = false;
    hasLongLinkName = false;
    size.reset();
    badChecksums = 0;
}

WalkStep TableWalk::next(TableEntry& entry) {
    // Each header is read over the last: clearing the rest alone spares a
    // copy of the whole entry per header, a tenth of opening an archive.
    entry.clearForNextRead();
    HeaderBlock& header = entry.header;
    for (;;) {
        if (!read(header)) {
            header.fill(0);
            return WalkStep::cutShort;
        }
        if (isZeroBlock(header)) {
            return entry.hasLongName || entry.hasLongLinkName ? WalkStep::badLongName : WalkStep::end;
        }
        switch (checkHeader(header, kIndexedMagic)) {
            case HeaderCheck::valid: break;
            case HeaderCheck::badMagic: return WalkStep::badMagic;
            case HeaderCheck::badChecksum:
                if (checksums_ == Checksums::refuse) return WalkStep::badChecksum;
                ++entry.badChecksums;
                break;
        }
        const bool longName = isLongNameEntry(header);
        const std::optional<std::uint64_t> size = memberSize(header);
        if (longName && !size) return WalkStep::badSize;
        if (see_ && !see_(BlockRole::header, header.data())) return WalkStep::refused;
        // Most headers have no blocks after them, and their entry is whole:
        // the walk then spares making `take`, an allocation per header.
        if (!longName && !hasSparseExtension(header)) {
            entry.size = size;
            return WalkStep::entry;
        }

        LongNameText text(size.value_or(0), kLongNameLimit);
        const auto take = [&](const unsigned char* block) {
            ++blocksRead_;
            if (longName) text.take(block);
            return !see_ || see_(longName ? BlockRole::text : BlockRole::extension, block);
        };
        switch (reader_.follow(header, take)) {
            case HeaderReader::Follow::done: break;
            case HeaderReader::Follow::cutShort: return WalkStep::cutShort;
            case HeaderReader::Follow::badSize: return WalkStep::badSize;  // checked above
            case HeaderReader::Follow::refused: return WalkStep::refused;
        }
        if (!longName) {
            entry.size = size;
            return WalkStep::entry;
        }
        if (typeflagOf(header) == kTypeLongName) {
            entry.longName = std::move(text.text());
            entry.hasLongName = true;
        } else {
            entry.longLinkName = std::move(text.text());
            entry.hasLongLinkName = true;
        }
    }
}

}  // namespace kotar
