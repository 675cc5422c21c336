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
// A pax 'x' entry's records, sorted by convert/pax_overrides.h, are folded
// into the header where the GNU form holds them exactly: numbers in octal,
// or in base-256 as GNU tar writes what octal cannot hold (the first byte
// 0x80, or 0xFF for a negative time, then the value big-endian).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "convert/pax_overrides.h"
#include "format/header_block.h"

namespace kotar {

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
