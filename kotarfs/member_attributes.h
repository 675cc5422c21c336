// What a member of the archive becomes in the mounted tree once its pax
// records are applied, as GNU tar would extract it:
//
//   'x' entry   records for the next member (Solaris tar's 'X' entry too):
//               path, linkpath, mtime (with its fraction), uid, gid, uname,
//               gname, SCHILY.xattr.NAME, GNU.sparse.* (a pax sparse file)
//   'g' entry   records for every later member, overridden by an 'x'; the
//               next 'g' entry's replace them all
//   header      the member's own fields, where no record overrides them;
//               a GNU sparse member's ('S') data map
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kotar/reader.h"

namespace kotarfs {

// A piece of a sparse file's data: `length` bytes from `dataAt` of the
// member's data stand at `fileAt` of the file.
struct Piece {
    std::uint64_t fileAt = 0;
    std::uint64_t length = 0;
    std::uint64_t dataAt = 0;
};

using Xattrs = std::vector<std::pair<std::string, std::string>>;

struct Attributes {
    std::string name;      // as stored (or from "path"), not yet folded
    std::string linkName;  // a link's target (or from "linkpath")
    char type = '0';
    mode_t permissions = 0;  // the mode's low 12 bits
    std::int64_t uid = 0;
    std::int64_t gid = 0;
    std::int64_t mtimeSeconds = 0;
    long mtimeNanoseconds = 0;
    dev_t device = 0;             // character and block devices
    bool deviceTooLarge = false;  // numbers that mknod(2) cannot take
    std::uint64_t size = 0;       // the file's size, holes included
    bool sparse = false;          // read through `pieces`
    bool sparseDamaged = false;   // a map that cannot be trusted: reads fail
    bool sparseMapInData = false; // pax sparse 1.0: the map heads the data
    std::vector<Piece> pieces;
    Xattrs xattrs;
};

// The pax records that apply to the member after them.
class PaxState {
public:
    // Takes the data of an 'x' (`global` false) or 'g' entry. False when it
    // is not a sequence of whole records.
    bool take(std::string_view data, bool global);
    // Applies the records to `attributes` (filled from the header first)
    // and forgets the 'x' records.
    void apply(Attributes& attributes);

private:
    std::vector<std::pair<std::string, std::string>> global_;
    std::vector<std::pair<std::string, std::string>> next_;
};

// The header's part of a member's attributes: name, type, mode, owners,
// time, device numbers, size, a GNU sparse member's map.
Attributes headerAttributes(const kotar_member& member, const kotar_details& details);

// A pax sparse file of format 1.0 keeps its map at the front of its data:
// decimal lines (count, then offset and length for each piece), padded to
// 512 bytes. Reads it from `front` (the data's first bytes) and sets the
// pieces, which follow the map in the data. False when it is damaged.
bool readSparseMapInData(std::string_view front, std::uint64_t dataSize, Attributes& attributes);

// The most of a member's data read to find a 1.0 sparse map.
inline constexpr std::size_t kSparseMapFront = 1024 * 1024;

// Checks the pieces: in order, not overlapping, inside the file's size and
// the member's data. Sets sparseDamaged when they are not.
void checkPieces(Attributes& attributes, std::uint64_t dataSize);

}  // namespace kotarfs
