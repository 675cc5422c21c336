// What a pax 'x' entry says about the next member.
//
// An 'x' entry before a member holds records (see format/pax_records.h) that
// override the member's fields. Those the GNU form holds exactly are folded
// into the header (path, linkpath, size, uname, gname, and uid, gid and a
// whole-second mtime, in base-256 when octal is too short); the others are
// kept, byte for byte and in their order, as the data of an 'x' entry of
// their own before the member, which GNU tar and bsdtar apply whatever the
// header's magic. A fractional mtime is kept, and its whole seconds (rounded
// down, as tar shows them) go into the header as well. A uid (gid) record
// is folded and, when the member names its owner (group), kept too: GNU tar
// lets a pax uid win over the user name, which a header uid yields to. The records of a
// sparse file (GNU.sparse.*) describe a member that creation turns into a
// GNU sparse member (convert/pax_sparse.h).
//
// As in tar, the last record of a keyword wins: an earlier one is dropped,
// whether it would have been folded or kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/pax_sparse.h"

namespace kotar {

// What an 'x' entry says about the next member, sorted.
struct PaxOverrides {
    std::optional<std::string> path;
    std::optional<std::string> linkpath;
    std::optional<std::string> uname;
    std::optional<std::string> gname;
    std::optional<std::uint64_t> size;
    std::optional<std::int64_t> uid;
    std::optional<std::int64_t> gid;
    std::optional<std::int64_t> mtime;
    PaxSparse sparse;

    // The records the GNU form cannot hold, in order; a folded uid or gid
    // among them only when the member has a user or group name.
    enum class Keep { always, ifUserNamed, ifGroupNamed };
    struct KeptRecord {
        std::string_view text;  // a view into the entry's data
        Keep when;
    };
    std::vector<KeptRecord> kept;
    bool unameKept = false;  // a uname or gname too long for its field
    bool gnameKept = false;
    std::string keptFor(bool userNamed, bool groupNamed) const;
};

// The folded keywords that a 'g' entry has given a value: tar applies such
// a global record over the header's field, and only a record of the
// member's own 'x' entry over the global one. A record of one of them is
// therefore kept as well as folded.
class GlobalKeywords {
public:
    // The records of a 'g' entry's data; when they cannot be read, every
    // folded keyword counts as given.
    void take(std::string_view data);
    void takeAll() { given_ = ~0u; }
    bool given(std::string_view keyword) const;

private:
    unsigned given_ = 0;  // a bit for each folded keyword
};

enum class PaxOutcome {
    sorted,
    invalid,  // damaged records, or a folded number that does not parse
    tooBig,   // a size that no indexed archive can hold
};

// Sorts the records of an 'x' entry's data into `overrides`, whose kept
// records are views into `data`. Only the last
// record of a keyword counts; an empty value drops a folded one. A record
// of a keyword that an earlier 'g' entry gave is kept even when folded.
PaxOutcome sortPaxRecords(std::string_view data, PaxOverrides& overrides, const GlobalKeywords& globals = {});

}  // namespace kotar
