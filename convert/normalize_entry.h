// Turning POSIX tar entries into the GNU form that indexed archives hold.
//
// A POSIX (ustar) header differs from a GNU one in its magic ("ustar\0"
// "00") and in bytes 345..499, where it keeps a name prefix:
//
//   ustar:  name[100] ... magic "ustar\0" "00" ... prefix[155] pad[12]
//           the member's name is prefix "/" name (prefix when not empty)
//   GNU:    name[100] ... magic "ustar  \0"   ... atime, ctime, offset,
//           sparse map ...; bytes 496..511 hold the indexed fields
//           a name longer than 100 bytes is the text of an 'L' entry
//           before the header ("././@LongLink", type 'L', size = length
//           + 1 for the NUL), a link target longer than 100 one of a 'K'
//
// A pax 'x' entry before a member holds records (see format/pax_records.h)
// that override the member's fields. Those the GNU form holds exactly are
// folded into the header (path, linkpath, size, uid, gid, uname, gname, a
// whole-second mtime); the others are kept, byte for byte and in their
// order, as the data of an 'x' entry of their own before the member, which
// GNU tar and bsdtar apply whatever the header's magic.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/header_block.h"

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

// Which long-name entries of the input already stand before a member.
struct InputLongNames {
    bool name = false;  // an 'L'
    bool link = false;  // a 'K'
};

// Rewrites a member header in GNU form: a POSIX header gets its full name
// and the GNU magic, its bytes 345..511 cleared; `overrides` (when given)
// folded in. The 'L'/'K' entries that the member now needs, headers and
// text blocks, are appended to `leading`, to stand before it. An input 'L'
// or 'K' wins over a prefix, and an override wins over both: its entry is
// then written even for a short text, so that it comes last.
void normalizeMember(HeaderBlock& header, const PaxOverrides* overrides, InputLongNames input,
                     std::vector<HeaderBlock>& leading);

// The header of the 'x' entry that carries `keptLength` bytes of kept
// records, made from the input's 'x' header.
HeaderBlock keptPaxHeader(const HeaderBlock& input, std::uint64_t keptLength);

}  // namespace kotar
