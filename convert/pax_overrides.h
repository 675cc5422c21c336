// What a pax 'x' entry says about the next member.
//
// An 'x' entry before a member holds records (see format/pax_records.h) that
// override the member's fields. Those the GNU form holds exactly are folded
// into the header (path, linkpath, size, uid, gid, uname, gname, a
// whole-second mtime); the others are kept, byte for byte and in their
// order, as the data of an 'x' entry of their own before the member, which
// GNU tar and bsdtar apply whatever the header's magic.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kotar {

// What an 'x' entry says about the next member, sorted.
struct PaxOverrides {
    std::optional<std::string> path;
    std::optional<std::string> linkpath;
    std::optional<std::string> uname;
    std::optional<std::string> gname;
    std::optional<std::uint64_t> size;
    std::optional<std::uint64_t> uid;
    std::optional<std::uint64_t> gid;
    std::optional<std::uint64_t> mtime;
    std::string kept;  // the records the GNU form cannot hold, in order
};

enum class PaxOutcome {
    sorted,
    invalid,  // damaged records, or a folded number that does not parse
    tooBig,   // a size that no indexed archive can hold
};

// Sorts the records of an 'x' entry's data into `overrides`. A keyword seen
// again replaces what came before; an empty value drops a folded one.
PaxOutcome sortPaxRecords(std::string_view data, PaxOverrides& overrides);

}  // namespace kotar
