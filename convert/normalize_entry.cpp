#include "convert/normalize_entry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "format/indexed_layout.h"
#include "format/pax_records.h"

namespace kotar {

namespace {

// The largest values the GNU form's octal fields hold.
constexpr std::uint64_t kLargestId = 07777777;            // uid, gid: 7 digits
constexpr std::uint64_t kLargestTime = 077777777777ull;   // mtime: 11 digits

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

bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// A text record folds when it is not empty, has no NUL and fits.
bool foldText(std::string_view value, std::size_t limit, std::optional<std::string>& into) {
    if (value.empty()) {
        into.reset();
        return true;
    }
    if (holdsNul(value) || value.size() > limit) return false;
    into = std::string(value);
    return true;
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

PaxOutcome sortPaxRecords(std::string_view data, PaxOverrides& overrides) {
    std::vector<PaxRecord> records;
    if (!splitPaxRecords(data, records)) return PaxOutcome::invalid;
    for (const PaxRecord& record : records) {
        const std::string_view key = record.keyword;
        const std::string_view value = record.value;
        bool folded = true;
        if (key == "path") {
            folded = foldText(value, SIZE_MAX, overrides.path);
        } else if (key == "linkpath") {
            folded = foldText(value, SIZE_MAX, overrides.linkpath);
        } else if (key == "uname") {
            folded = foldText(value, field::uname.width, overrides.uname);
        } else if (key == "gname") {
            folded = foldText(value, field::gname.width, overrides.gname);
        } else if (key == "size" || key == "uid" || key == "gid") {
            std::optional<std::uint64_t>& into =
                key == "size" ? overrides.size : key == "uid" ? overrides.uid : overrides.gid;
            const std::optional<std::uint64_t> number = parsePaxUnsigned(value);
            if (value.empty()) {
                into.reset();
            } else if (!number) {
                return PaxOutcome::invalid;
            } else if (key == "size") {
                if (*number > kLargestMemberSize) return PaxOutcome::tooBig;
                into = number;
            } else {
                folded = *number <= kLargestId;
                if (folded) into = number;
            }
        } else if (key == "mtime") {
            std::int64_t seconds = 0;
            bool exact = false;
            if (value.empty()) {
                overrides.mtime.reset();
            } else if (!parsePaxTime(value, seconds, exact)) {
                return PaxOutcome::invalid;
            } else {
                folded = exact && seconds >= 0 && static_cast<std::uint64_t>(seconds) <= kLargestTime;
                if (folded) overrides.mtime = static_cast<std::uint64_t>(seconds);
            }
        } else {
            folded = false;
        }
        if (!folded) overrides.kept += record.text;
    }
    return PaxOutcome::sorted;
}

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
        if (overrides->uid) storeOctal(header, field::uid, *overrides->uid);
        if (overrides->gid) storeOctal(header, field::gid, *overrides->gid);
        if (overrides->mtime) storeOctal(header, field::mtime, *overrides->mtime);
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
