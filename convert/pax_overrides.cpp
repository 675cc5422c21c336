#include "convert/pax_overrides.h"

#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "format/pax_records.h"

namespace kotar {

namespace {

// The largest values the GNU form's octal fields hold.
constexpr std::uint64_t kLargestId = 07777777;            // uid, gid: 7 digits
constexpr std::uint64_t kLargestTime = 077777777777ull;   // mtime: 11 digits

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

}  // namespace kotar
