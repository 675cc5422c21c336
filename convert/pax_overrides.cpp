#include "convert/pax_overrides.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <vector>

#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "format/pax_records.h"

namespace kotar {

namespace {

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

// The keywords of the header's fields fold into the header: for these only
// the last record counts. Other keywords are kept as they come, repeats
// included, and the reader that applies them lets the last win.
// The bit of a folded keyword, 0 for any other.
unsigned foldedKeywordBit(std::string_view key) {
    const auto* found = std::find(std::begin(kHeaderFieldKeywords), std::end(kHeaderFieldKeywords), key);
    return found == std::end(kHeaderFieldKeywords) ? 0 : 1u << (found - std::begin(kHeaderFieldKeywords));
}

bool isFoldedKeyword(std::string_view key) { return foldedKeywordBit(key) != 0; }

}  // namespace

void GlobalKeywords::take(std::string_view data) {
    std::vector<PaxRecord> records;
    if (!splitPaxRecords(data, records)) {
        takeAll();
        return;
    }
    for (const PaxRecord& record : records) given_ |= foldedKeywordBit(record.keyword);
}

bool GlobalKeywords::given(std::string_view keyword) const { return (given_ & foldedKeywordBit(keyword)) != 0; }

PaxOutcome sortPaxRecords(std::string_view data, PaxOverrides& overrides, const GlobalKeywords& globals) {
    std::vector<PaxRecord> records;
    if (!splitPaxRecords(data, records)) return PaxOutcome::invalid;
    std::map<std::string_view, std::size_t> last;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (isFoldedKeyword(records[i].keyword)) last[records[i].keyword] = i;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const PaxRecord& record = records[i];
        const std::string_view key = record.keyword;
        const std::string_view value = record.value;
        if (isFoldedKeyword(key) && last[key] != i) {
            // Overridden by a later record of the same keyword; still, a
            // damaged number is damage.
            if ((key == "size" || key == "uid" || key == "gid") && !value.empty() && !parsePaxUnsigned(value)) {
                return PaxOutcome::invalid;
            }
            std::int64_t seconds = 0;
            bool exact = false;
            if (key == "mtime" && !value.empty() && !parsePaxTime(value, seconds, exact)) return PaxOutcome::invalid;
            continue;
        }
        bool folded = true;
        // Folded and kept: over a global record, only the member's own counts.
        const bool overGlobal = globals.given(key);
        if (key == "path") {
            folded = foldText(value, SIZE_MAX, overrides.path);
        } else if (key == "linkpath") {
            folded = foldText(value, SIZE_MAX, overrides.linkpath);
        } else if (key == "uname") {
            folded = foldText(value, field::uname.width, overrides.uname);
            overrides.unameKept = !folded;
        } else if (key == "gname") {
            folded = foldText(value, field::gname.width, overrides.gname);
            overrides.gnameKept = !folded;
        } else if (key == "size" || key == "uid" || key == "gid") {
            const std::optional<std::uint64_t> number = parsePaxUnsigned(value);
            if (value.empty()) {
                (key == "size" ? overrides.size.reset() : key == "uid" ? overrides.uid.reset() : overrides.gid.reset());
            } else if (!number) {
                return PaxOutcome::invalid;
            } else if (key == "size") {
                if (*number > kLargestMemberSize) return PaxOutcome::tooBig;
                overrides.size = number;
            } else {
                const HeaderField into = key == "uid" ? field::uid : field::gid;
                folded = *number <= static_cast<std::uint64_t>(INT64_MAX) &&
                         numericFieldHolds(into, static_cast<std::int64_t>(*number));
                if (folded) {
                    (key == "uid" ? overrides.uid : overrides.gid) = static_cast<std::int64_t>(*number);
                    // A global name names the owner too.
                    const bool named = overGlobal || globals.given(key == "uid" ? "uname" : "gname");
                    const PaxOverrides::Keep when = named          ? PaxOverrides::Keep::always
                                                    : key == "uid" ? PaxOverrides::Keep::ifUserNamed
                                                                   : PaxOverrides::Keep::ifGroupNamed;
                    overrides.kept.push_back({record.text, when});
                    continue;
                }
            }
        } else if (key == "mtime") {
            std::int64_t seconds = 0;
            bool exact = false;
            if (value.empty()) {
                overrides.mtime.reset();
            } else if (!parsePaxTime(value, seconds, exact)) {
                return PaxOutcome::invalid;
            } else {
                // The whole seconds go into the header either way, rounded
                // down as tar shows them; a fraction stays as a record.
                folded = exact;
                overrides.mtime = !exact && value.front() == '-' ? seconds - 1 : seconds;
            }
        } else if (PaxSparse::isSparseKeyword(key)) {
            if (!overrides.sparse.take(key, value)) return PaxOutcome::invalid;
        } else {
            folded = false;
        }
        if (!folded || overGlobal) overrides.kept.push_back({record.text, PaxOverrides::Keep::always});
    }
    return PaxOutcome::sorted;
}

std::string PaxOverrides::keptFor(bool userNamed, bool groupNamed) const {
    std::string text;
    for (const KeptRecord& record : kept) {
        if (record.when == Keep::always || (record.when == Keep::ifUserNamed && userNamed) ||
            (record.when == Keep::ifGroupNamed && groupNamed)) {
            text += record.text;
        }
    }
    return text;
}

}  // namespace kotar
