#include "kotarfs/member_attributes.h"

#include <linux/limits.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <optional>

#include "format/pax_records.h"

namespace kotarfs {

namespace {

using Records = std::vector<std::pair<std::string, std::string>>;

constexpr std::string_view kXattrPrefix = "SCHILY.xattr.";

std::optional<std::uint64_t> number(std::string_view text) { return kotar::parsePaxUnsigned(text); }

// A name or link target from a record, up to any NUL in it: GNU tar keeps
// them as C strings, and so do readdir and readlink.
std::string cString(const std::string& value) { return value.substr(0, value.find('\0')); }

// A pax time: seconds and a fraction of up to nine digits, rounded toward
// minus infinity as GNU tar reads it (more digits are cut from a time after
// 1970, and take one before it a nanosecond further back).
bool parseTime(std::string_view value, std::int64_t& seconds, long& nanoseconds) {
    std::int64_t whole = 0;
    bool exact = true;
    if (!kotar::parsePaxTime(value, whole, exact)) return false;
    long fraction = 0;
    bool cut = false;  // a digit other than 0 past the ninth
    const std::size_t dot = value.find('.');
    if (dot != std::string_view::npos) {
        const std::string_view digits = value.substr(dot + 1);
        for (std::size_t i = 0; i < 9; ++i) fraction = fraction * 10 + (i < digits.size() ? digits[i] - '0' : 0);
        cut = digits.size() > 9 && digits.find_first_not_of('0', 9) != std::string_view::npos;
    }
    // "-1.5" is half a second before -1.
    if (value.front() == '-' && (fraction > 0 || cut)) {
        whole -= 1;
        fraction = 1000000000L - fraction - (cut ? 1 : 0);
    }
    seconds = whole;
    nanoseconds = fraction;
    return true;
}

// Linux keeps xattrs of the user, trusted and security namespaces only, and
// only with a name after the namespace: setxattr(2) refuses any other
// (EOPNOTSUPP, or EINVAL for "user." alone), and GNU tar fails to set it.
// (system.* holds ACLs, which getxattr(2) refuses on a mount without them.)
bool linuxKeeps(std::string_view name) {
    for (const std::string_view space : {"user.", "trusted.", "security."}) {
        if (name.starts_with(space)) return name.size() > space.size();
    }
    return false;
}

// A file capability that setxattr(2) takes and getxattr(2) reads: of
// revision 2 (20 bytes) or 3 (24), the revision in the last byte of the
// first little-endian word. The kernel refuses any other (EINVAL), so that
// GNU tar fails to set it, while listxattr named it.
bool validCapability(std::string_view value) {
    if (value.size() != 20 && value.size() != 24) return false;
    return static_cast<unsigned char>(value[3]) == (value.size() == 20 ? 2 : 3);
}

bool isHeaderField(std::string_view keyword) {
    return std::find(std::begin(kotar::kHeaderFieldKeywords), std::end(kotar::kHeaderFieldKeywords), keyword) !=
           std::end(kotar::kHeaderFieldKeywords);
}

void setRecord(Records& records, std::string_view keyword, std::string_view value) {
    const auto same = std::find_if(records.begin(), records.end(), [&](const auto& r) { return r.first == keyword; });
    // Sparse offsets and lengths of format 0.0 repeat; every one counts.
    if (same != records.end() && !keyword.starts_with("GNU.sparse.offset") &&
        !keyword.starts_with("GNU.sparse.numbytes")) {
        same->second = value;
    } else {
        records.emplace_back(keyword, value);
    }
}

// "o,n,o,n,..." of format 0.1.
bool readSparseMapRecord(std::string_view map, std::vector<Piece>& pieces) {
    std::vector<std::uint64_t> values;
    while (!map.empty()) {
        const std::size_t comma = map.find(',');
        const std::optional<std::uint64_t> value = number(map.substr(0, comma));
        if (!value) return false;
        values.push_back(*value);
        if (comma == std::string_view::npos) break;
        map.remove_prefix(comma + 1);
    }
    if (values.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < values.size(); i += 2) pieces.push_back({values[i], values[i + 1], 0});
    return true;
}

}  // namespace

bool PaxState::take(std::string_view data, bool global) {
    std::vector<kotar::PaxRecord> records;
    if (!kotar::splitPaxRecords(data, records)) return false;
    // A 'g' entry's records replace all those of the 'g' entries before it,
    // as GNU tar reads them.
    if (global) global_.clear();
    Records& into = global ? global_ : next_;
    for (const kotar::PaxRecord& record : records) {
        if (global && record.value.empty()) {
            std::erase_if(global_, [&](const auto& r) { return r.first == record.keyword; });
            continue;
        }
        setRecord(into, record.keyword, record.value);
    }
    return true;
}

void PaxState::apply(Attributes& attributes) {
    Records records = global_;
    for (const auto& record : next_) {
        // An empty value for a header field deletes the record, global or
        // not, so that the header's own field stands, as kotar -c reads it.
        // (An extended attribute may well be empty.)
        if (record.second.empty() && isHeaderField(record.first)) {
            std::erase_if(records, [&](const auto& r) { return r.first == record.first; });
        } else {
            setRecord(records, record.first, record.second);
        }
    }
    next_.clear();

    std::optional<std::uint64_t> sparseMajor;
    std::optional<std::uint64_t> sparseMinor;
    std::optional<std::uint64_t> sparseSize;
    std::optional<std::string> sparseName;
    std::optional<std::string> sparseMap;
    std::vector<Piece> sparseOld;  // format 0.0: offset, numbytes, offset, ...
    bool sparseOldSound = true;
    for (const auto& [keyword, value] : records) {
        if (keyword == "path") {
            attributes.name = cString(value);
        } else if (keyword == "linkpath") {
            attributes.linkName = cString(value);
        } else if (keyword == "mtime") {
            parseTime(value, attributes.mtimeSeconds, attributes.mtimeNanoseconds);
        } else if (keyword == "uid" || keyword == "gid") {
            if (const std::optional<std::uint64_t> id = number(value); id && *id <= 0xffffffffu) {
                (keyword == "uid" ? attributes.uid : attributes.gid) = static_cast<std::int64_t>(*id);
            }
        } else if (keyword.starts_with(kXattrPrefix) && keyword.size() > kXattrPrefix.size()) {
            // xattr names are C strings: one with a NUL in it could be neither
            // listed nor read (listxattr failed with EIO), and GNU tar skips it.
            const std::string name = keyword.substr(kXattrPrefix.size());
            if (name.find('\0') != std::string::npos) continue;
            // Nor can Linux keep a name or value past its limits (getxattr
            // would fail for what listxattr names), which GNU tar fails to set.
            if (name.size() > XATTR_NAME_MAX || value.size() > XATTR_SIZE_MAX || !linuxKeeps(name)) continue;
            if (name == "security.capability" && !validCapability(value)) continue;
            std::erase_if(attributes.xattrs, [&](const auto& x) { return x.first == name; });
            attributes.xattrs.emplace_back(name, value);
        } else if (keyword == "GNU.sparse.major") {
            sparseMajor = number(value);
        } else if (keyword == "GNU.sparse.minor") {
            sparseMinor = number(value);
        } else if (keyword == "GNU.sparse.realsize" || keyword == "GNU.sparse.size") {
            // A file's size is an off_t: a larger one (GNU tar refuses it too)
            // would show as negative.
            sparseSize = number(value);
            if (sparseSize && *sparseSize > static_cast<std::uint64_t>(INT64_MAX)) sparseSize.reset();
        } else if (keyword == "GNU.sparse.name") {
            sparseName = cString(value);
        } else if (keyword == "GNU.sparse.map") {
            sparseMap = value;
        } else if (keyword == "GNU.sparse.offset") {
            const std::optional<std::uint64_t> at = number(value);
            sparseOldSound = sparseOldSound && at.has_value();
            sparseOld.push_back({at.value_or(0), 0, 0});
        } else if (keyword == "GNU.sparse.numbytes") {
            const std::optional<std::uint64_t> length = number(value);
            sparseOldSound = sparseOldSound && length.has_value() && !sparseOld.empty();
            if (!sparseOld.empty()) sparseOld.back().length = length.value_or(0);
        }
    }
    if (!sparseSize && !sparseMap && sparseOld.empty() && !sparseMajor) return;

    // A pax sparse file: a regular file of its real size and name.
    attributes.sparse = true;
    attributes.type = '0';
    attributes.pieces.clear();
    if (sparseName) attributes.name = *sparseName;
    if (sparseSize) attributes.size = *sparseSize;
    attributes.sparseDamaged = !sparseSize;
    if (sparseMajor == 1u && sparseMinor.value_or(0) == 0) {
        attributes.sparseMapInData = true;
    } else if (sparseMap) {
        attributes.sparseDamaged = attributes.sparseDamaged || !readSparseMapRecord(*sparseMap, attributes.pieces);
    } else {
        attributes.sparseDamaged = attributes.sparseDamaged || !sparseOldSound;
        attributes.pieces = std::move(sparseOld);
    }
}

Attributes headerAttributes(const kotar_member& member, const kotar_details& details) {
    Attributes attributes;
    attributes.name = member.name;
    attributes.linkName = member.link_name;
    attributes.type = member.aligned ? '0' : member.type;
    attributes.permissions = static_cast<mode_t>(member.mode & 07777);
    attributes.uid = member.uid;
    attributes.gid = member.gid;
    attributes.mtimeSeconds = member.mtime;
    attributes.size = member.size;
    if (member.type == '3' || member.type == '4') {
        attributes.device = makedev(static_cast<unsigned>(details.devmajor), static_cast<unsigned>(details.devminor));
        // Linux's device numbers are of 32 bits: a major of 12, a minor of 20.
        attributes.deviceTooLarge = details.devmajor < 0 || details.devmajor > 0xfff || details.devminor < 0 ||
                                    details.devminor > 0xfffff;
    }
    if (member.type == 'S') {
        attributes.type = '0';
        attributes.sparse = true;
        attributes.size = details.real_size;
        for (std::size_t i = 0; i < details.sparse_count; ++i) {
            attributes.pieces.push_back({details.sparse[i].offset, details.sparse[i].length, 0});
        }
    }
    return attributes;
}

bool readSparseMapInData(std::string_view front, std::uint64_t dataSize, Attributes& attributes) {
    std::size_t at = 0;
    const auto line = [&]() -> std::optional<std::uint64_t> {
        const std::size_t end = front.find('\n', at);
        if (end == std::string_view::npos) return std::nullopt;
        const std::optional<std::uint64_t> value = number(front.substr(at, end - at));
        at = end + 1;
        return value;
    };
    const std::optional<std::uint64_t> count = line();
    if (!count || *count > front.size() / 4) return false;
    std::vector<Piece> pieces;
    for (std::uint64_t i = 0; i < *count; ++i) {
        const std::optional<std::uint64_t> offset = line();
        const std::optional<std::uint64_t> length = line();
        if (!offset || !length) return false;
        pieces.push_back({*offset, *length, 0});
    }
    const std::uint64_t mapBytes = (at + 511) / 512 * 512;
    if (mapBytes > dataSize) return false;
    attributes.pieces = std::move(pieces);
    std::uint64_t dataAt = mapBytes;
    for (Piece& piece : attributes.pieces) {
        piece.dataAt = dataAt;
        dataAt += piece.length;
    }
    return true;
}

void checkPieces(Attributes& attributes, std::uint64_t dataSize) {
    std::uint64_t fileEnd = 0;
    std::uint64_t dataAt = attributes.pieces.empty() ? 0 : attributes.pieces.front().dataAt;
    for (Piece& piece : attributes.pieces) {
        piece.dataAt = dataAt;
        const bool fits = piece.fileAt >= fileEnd && piece.length <= attributes.size &&
                          piece.fileAt <= attributes.size - piece.length && piece.length <= dataSize &&
                          dataAt <= dataSize - piece.length;
        if (!fits) {
            attributes.sparseDamaged = true;
            return;
        }
        fileEnd = piece.fileAt + piece.length;
        dataAt += piece.length;
    }
}

}  // namespace kotarfs
