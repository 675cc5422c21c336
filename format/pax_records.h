// The records of a pax extended header: the data of an 'x' entry (for the
// next member) or of a 'g' entry (for every member after it).
//
//   record   = LEN " " KEYWORD "=" VALUE "\n"
//   LEN      = decimal length of the whole record, its own digits, the
//              space and the newline included
//   KEYWORD  = any bytes but '=' (e.g. "path", "mtime", "SCHILY.xattr.user.x")
//   VALUE    = any bytes, NULs and newlines included; its end is known
//              from LEN alone
//
// The records follow one another with nothing between them and fill the
// entry's data exactly, e.g. (30 bytes):
//
//   "30 mtime=1577836800.500000000\n"
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kotar {

struct PaxRecord {
    std::string_view keyword;
    std::string_view value;
    std::string_view text;  // the whole record, LEN to newline
};

// Splits pax data into its records, views into `data`. False when the data
// is not a sequence of whole records: a length that is not a decimal number
// followed by a space, that runs past the data or does not end on a
// newline, or a record without '='.
bool splitPaxRecords(std::string_view data, std::vector<PaxRecord>& records);

// A value of decimal digits only, at most 64 bits; nullopt otherwise
// (empty, a sign, other bytes, or too large).
std::optional<std::uint64_t> parsePaxUnsigned(std::string_view value);

// A time value: an optional '-', decimal digits, and an optional fraction
// ('.' then digits). Sets `whole` to the seconds and `exact` to whether the
// fraction is absent or all zeros. False when the value has another form
// or its seconds pass 64 bits.
bool parsePaxTime(std::string_view value, std::int64_t& whole, bool& exact);

// The keywords that stand for a field of the header (which an empty value
// gives back to the header).
inline constexpr std::string_view kHeaderFieldKeywords[] = {"path", "linkpath", "uname", "gname",
                                                            "size", "uid",      "gid",   "mtime"};

}  // namespace kotar
