#include "convert/normalize_entry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>


namespace kotar {

namespace {

constexpr char kLongLinkName[] = "././@LongLink";

// Writes `value` as width - 1 octal digits and a NUL, as tar does.
void storeOctal(HeaderBlock& header, HeaderField field, std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llo", static_cast<int>(field.width - 1),
                  static_cast<unsigned long long>(value));
    std::memcpy(header.data() + field.offset, text, field.width);  // the digits and their NUL
}

void storeText(HeaderBlock& header, HeaderField field, std::string_view text) {
    std::fill_n(header.begin() + field.offset, field.width, 0);
    std::memcpy(header.data() + field.offset, text.data(), std::min(text.size(), field.width));
}

// An 'L' or 'K' entry as GNU tar writes it, then its text with a NUL.
void appendLongEntry(unsigned char type, std::string_view text, std::vector<HeaderBlock>& leading) {
    HeaderBlock header{};
    storeText(header, field::name, kLongLinkName);
    storeOctal(header, field::mode, 0644);
    storeOctal(header, field::uid, 0);
    storeOctal(header, field::gid, 0);
    storeOctal(header, field::size, text.size() + 1);
    storeOctal(header, field::mtime, 0);
    header[field::typeflag.offset] = type;
    storeMagic(header, kPlainMagic);
    storeText(header, field::uname, "root");
    storeText(header, field::gname, "root");
    setHeaderChecksum(header, false);
    leading.push_back(header);
    for (std::size_t at = 0; at <= text.size(); at += kBlockSize) {
        HeaderBlock block{};  // the NUL after the text is among its zeros
        std::memcpy(block.data(), text.data() + at, std::min(kBlockSize, text.size() - at));
        leading.push_back(block);
    }
}

// Puts a name in its field, or in a long entry (with its first 100 bytes in
// the field, as GNU tar does) when it is longer or must come last.
void storeName(HeaderBlock& header, HeaderField field, unsigned char type, std::string_view name,
               bool mustComeLast, std::vector<HeaderBlock>& leading) {
    if (name.size() > field.width || mustComeLast) appendLongEntry(type, name, leading);
    storeText(header, field, name);
}

}  // namespace

void normalizeMember(HeaderBlock& header, const PaxOverrides* overrides, InputLongNames input,
                     std::vector<HeaderBlock>& leading) {
    const bool posix = hasMagic(header, kPosixMagic);
    if (overrides != nullptr && overrides->path) {
        storeName(header, field::name, kTypeLongName, *overrides->path, input.name, leading);
    } else if (posix && !input.name) {
        const std::string_view prefix = fieldText(header, field::prefix);
        const std::string_view name = fieldText(header, field::name);
        if (!prefix.empty()) {
            const std::string full = std::string(prefix) + "/" + std::string(name);
            storeName(header, field::name, kTypeLongName, full, false, leading);
        }
    }
    if (overrides != nullptr && overrides->linkpath) {
        storeName(header, field::linkname, kTypeLongLinkName, *overrides->linkpath, input.link, leading);
    }
    if (posix) {
        // The prefix and the padding after it mean something else in GNU form.
        std::fill(header.begin() + field::prefix.offset, header.end(), 0);
        storeMagic(header, kPlainMagic);
    }
    if (overrides != nullptr) {
        if (overrides->size) storeOctal(header, field::size, *overrides->size);
        // Sorting folded only what these fields hold.
        if (overrides->uid) storeNumericField(header, field::uid, *overrides->uid);
        if (overrides->gid) storeNumericField(header, field::gid, *overrides->gid);
        if (overrides->mtime) storeNumericField(header, field::mtime, *overrides->mtime);
        if (overrides->uname) storeText(header, field::uname, *overrides->uname);
        if (overrides->gname) storeText(header, field::gname, *overrides->gname);
    }
    setHeaderChecksum(header, false);
}

HeaderBlock keptPaxHeader(const HeaderBlock& input, std::uint64_t keptLength) {
    HeaderBlock header = input;
    std::fill(header.begin() + field::prefix.offset, header.end(), 0);
    storeMagic(header, kPlainMagic);
    storeOctal(header, field::size, keptLength);
    setHeaderChecksum(header, false);
    return header;
}

}  // namespace kotar
