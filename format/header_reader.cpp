#include "format/header_reader.h"

#include <algorithm>

#include "format/indexed_layout.h"

namespace kotar {

HeaderCheck checkHeader(const HeaderBlock& header, const Magic& magic) {
    if (!hasMagic(header, magic)) return HeaderCheck::badMagic;
    if (!verifyHeaderChecksum(header)) return HeaderCheck::badChecksum;
    return HeaderCheck::valid;
}

HeaderReader::Next HeaderReader::next(HeaderBlock& header) {
    if (!read_(header.data())) return Next::cutShort;
    return isZeroBlock(header) ? Next::end : Next::header;
}

HeaderReader::Follow HeaderReader::follow(const HeaderBlock& header, const TakeBlock& take) {
    unsigned char block[kBlockSize];
    if (isLongNameEntry(header)) {
        if (!octalFieldFits(header, field::size)) return Follow::badSize;
        const std::int32_t size = parseOctalField(header, field::size);
        for (std::uint64_t n = size > 0 ? blocksFor(static_cast<std::uint64_t>(size)) : 0; n > 0; --n) {
            if (!read_(block)) return Follow::cutShort;
            if (!take(block)) return Follow::refused;
        }
        return Follow::done;
    }
    for (bool more = hasSparseExtension(header); more;) {
        if (!read_(block)) return Follow::cutShort;
        if (!take(block)) return Follow::refused;
        more = block[kSparseExtensionExtendedAt] != 0;
    }
    return Follow::done;
}

bool LongNameText::take(const unsigned char* block) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left_, kBlockSize));
    left_ -= count;
    for (std::size_t i = 0; i < count && !ended_; ++i) {
        ended_ = block[i] == '\0' || text_.size() == limit_;
        if (!ended_) text_.push_back(static_cast<char>(block[i]));
    }
    return true;
}

}  // namespace kotar
