// The 512-byte tar header block, shared by plain GNU tar archives and by
// kotar's indexed archives (whose own fields and type are in
// format/indexed_layout.h).
//
//   offset  width  field
//        0    100  name        (first byte NUL: end of a header sequence)
//      100      8  mode        octal text
//      108      8  uid         octal text
//      116      8  gid         octal text
//      124     12  size        octal text; long-name length for 'K' / 'L'
//      136     12  mtime       octal text, seconds since the epoch
//      148      8  chksum      octal text; unsigned or signed byte sum
//      156      1  typeflag
//      157    100  linkname
//      257      8  magic + version: "ustar  \0" (plain) or "kerix  \0" (indexed);
//                  "ustar\0" "00" in a POSIX header, which creation turns into
//                  the plain form
//      265     32  uname
//      297     32  gname
//      329      8  devmajor
//      337      8  devminor
//      345    155  prefix      (its last 4 bytes hold dataOffset when indexed)
//      500     12  pad         (textOffset, textPgs, fixUpPgs when indexed)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kotar {

inline constexpr std::size_t kBlockSize = 512;

using HeaderBlock = std::array<unsigned char, kBlockSize>;

struct HeaderField {
    std::size_t offset;
    std::size_t width;
};

namespace field {
inline constexpr HeaderField name{0, 100};
inline constexpr HeaderField mode{100, 8};
inline constexpr HeaderField uid{108, 8};
inline constexpr HeaderField gid{116, 8};
inline constexpr HeaderField size{124, 12};
inline constexpr HeaderField mtime{136, 12};
inline constexpr HeaderField chksum{148, 8};
inline constexpr HeaderField typeflag{156, 1};
inline constexpr HeaderField linkname{157, 100};
inline constexpr HeaderField magic{257, 8};  // magic and version, one unit
inline constexpr HeaderField uname{265, 32};
inline constexpr HeaderField gname{297, 32};
inline constexpr HeaderField devmajor{329, 8};
inline constexpr HeaderField devminor{337, 8};
inline constexpr HeaderField prefix{345, 155};
}  // namespace field

static_assert(sizeof(HeaderBlock) == 512);
static_assert(field::chksum.offset == 148 && field::magic.offset == 257);
static_assert(field::prefix.offset + field::prefix.width == 500);

using Magic = std::array<unsigned char, 8>;
inline constexpr Magic kPlainMagic{'u', 's', 't', 'a', 'r', ' ', ' ', '\0'};
inline constexpr Magic kPosixMagic{'u', 's', 't', 'a', 'r', '\0', '0', '0'};

// Type codes with a meaning of their own.
inline constexpr unsigned char kTypeRegular = '0';
inline constexpr unsigned char kTypeLongLinkName = 'K';
inline constexpr unsigned char kTypeLongName = 'L';
inline constexpr unsigned char kTypePaxHeader = 'x';  // pax records for the next member
inline constexpr unsigned char kTypePaxGlobal = 'g';  // pax records for every later member

inline unsigned char typeflagOf(const HeaderBlock& block) {
    return block[field::typeflag.offset];
}

// A GNU sparse member ('S') whose header sets the extension flag is
// followed by extension blocks, each holding more of its data map and a
// flag of its own saying whether another follows.
inline constexpr unsigned char kTypeSparse = 'S';
inline constexpr std::size_t kSparseExtendedAt = 482;           // in the 'S' header
inline constexpr std::size_t kSparseExtensionExtendedAt = 504;  // in each extension block
// Each region of the map is an offset and a length, numeric fields of 12
// bytes: four in the 'S' header from byte 386, 21 in each extension block.
inline constexpr std::size_t kSparseMapAt = 386;
inline constexpr std::size_t kSparseHeaderRegions = 4;
inline constexpr std::size_t kSparseExtensionRegions = 21;
namespace field {
inline constexpr HeaderField sparseRealSize{483, 12};  // the file's size, holes included
}  // namespace field

inline bool hasSparseExtension(const HeaderBlock& block) {
    return block[field::typeflag.offset] == kTypeSparse && block[kSparseExtendedAt] != 0;
}

inline bool isLongNameEntry(const HeaderBlock& block) {
    const unsigned char type = typeflagOf(block);
    return type == kTypeLongLinkName || type == kTypeLongName;
}

// The value of an octal text field as strtoll(field, nullptr, 8) gives it
// (leading white space, an optional sign, digits up to the first other
// character), never reading past the field, and taken as a signed 32-bit
// integer (its low 32 bits). A field without digits gives 0.
std::int32_t parseOctalField(const HeaderBlock& block, HeaderField field);

namespace detail {
long long parseOctalText(const HeaderBlock& block, HeaderField field);  // the octal form, never nullopt
std::optional<std::int64_t> parseBase256Field(const HeaderBlock& block, HeaderField field);
}  // namespace detail

// A numeric field as tar writes it, in 64 bits: octal text within the
// field, or, when the first byte's top bit is set, a big-endian base-256
// number in the remaining bits (negative, in two's complement, when bit 6
// is set too). A value beyond 64 bits gives nullopt.
// (Inline, so that its result stays in registers: returned through memory,
// the optional cost a stall on every field of every header.)
inline std::optional<std::int64_t> parseNumericField(const HeaderBlock& block, HeaderField field) {
    if ((block[field.offset] & 0x80) == 0) return detail::parseOctalText(block, field);
    return detail::parseBase256Field(block, field);
}

// Stores a numeric field as GNU tar writes it: width - 1 octal digits and a
// NUL when the value is at least 0 and has that many digits, else base-256,
// the first byte 0x80 (0xFF for a negative value) and the value big-endian,
// in two's complement, in the other width - 1 bytes. False, the field left
// alone, when even that cannot hold the value.
bool storeNumericField(HeaderBlock& block, HeaderField field, std::int64_t value);
bool numericFieldHolds(HeaderField field, std::int64_t value);

// Whether parseOctalField gives a field's whole value: false for a field in
// tar's base-256 form (top bit of its first byte set), which that reading
// takes for 0, and for octal text whose value lies outside the signed 32-bit
// range, of which that reading keeps only the low 32 bits.
bool octalFieldFits(const HeaderBlock& block, HeaderField field);

// A member's size as every reader of kotar takes it: octal text within the
// field and 32 bits, not negative. nullopt for any other size field.
std::optional<std::uint64_t> memberSize(const HeaderBlock& block);

// The text of a field up to its first NUL, at most its width.
std::string_view fieldText(const HeaderBlock& block, HeaderField field);

// The magic field's text, up to its first NUL, at most its 8 bytes: what the
// "invalid ... magic" messages quote.
std::string_view magicText(const HeaderBlock& block);

// The byte sums of a block with the chksum bytes counted as spaces: each byte
// taken once as unsigned (0..255) and once as signed (-128..127).
struct HeaderSums {
    std::int32_t unsignedSum;
    std::int32_t signedSum;
};
HeaderSums computeHeaderSums(const HeaderBlock& block);

// True when the stored checksum equals either sum.
bool verifyHeaderChecksum(const HeaderBlock& block);

// Recomputes and stores chksum as six octal digits, a NUL and a space. A
// signed sum below zero has no six-digit form; the unsigned sum, which every
// reader also accepts, is stored instead.
void setHeaderChecksum(HeaderBlock& block, bool signedSum);

// A zero block, 512 bytes of zeros, ends a header sequence. Any other block
// is a header, an empty name included.
bool isZeroBlock(const HeaderBlock& block);

bool hasMagic(const HeaderBlock& block, const Magic& magic);
void storeMagic(HeaderBlock& block, const Magic& magic);

// A plain header in its final form: the plain magic and the unsigned sum,
// as extraction writes it.
void finishPlainHeader(HeaderBlock& block);

}  // namespace kotar
