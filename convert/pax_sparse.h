// A sparse file that GNU tar wrote in POSIX form (`tar --posix -S`), turned
// into a GNU sparse member ('S'), which every tar reader understands
// whatever the magic of its header.
//
//   version  in the 'x' entry                         where the map lies
//   0.0      GNU.sparse.size, GNU.sparse.numblocks    GNU.sparse.offset and
//                                                     GNU.sparse.numbytes, pair by pair
//   0.1      GNU.sparse.size, .numblocks, .name       GNU.sparse.map=OFF,LEN,OFF,LEN...
//   1.0      GNU.sparse.major=1, .minor=0, .name,     the data's leading blocks: decimal
//            GNU.sparse.realsize                      lines, the count then OFF and LEN
//                                                     of each region, up to a whole block
//
// The member's header names a placeholder ("./GNUSparseFile.PID/NAME") in
// 0.1 and 1.0; GNU.sparse.name is the real name. Its data is the regions'
// bytes one after another (after the map blocks in 1.0).
//
// The GNU form:
//
//   'S' header   386..481  4 regions, each offset[12] numbytes[12] (numeric fields)
//                482       not 0: extension blocks follow
//                483..494  realsize[12], the file's size
//   extension    0..503    21 more regions
//                504       not 0: another extension block follows
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/header_block.h"

namespace kotar {

struct SparseRegion {
    std::uint64_t offset;
    std::uint64_t size;
};

class PaxSparse {
public:
    // Whether a keyword is one of the sparse records this reads.
    static bool isSparseKeyword(std::string_view keyword);

    // Takes one sparse record; false when its value is damaged.
    bool take(std::string_view keyword, std::string_view value);

    bool present() const { return present_; }
    bool mapInData() const { return major_ == 1; }
    const std::optional<std::string>& name() const { return name_; }

    // The records are complete: a size, and (before 1.0) a whole map.
    bool complete() const;

    // 1.0: takes the data's leading blocks, one at a time, until `done`.
    enum class MapText { more, done, damaged };
    MapText takeMapBlock(const unsigned char* block);

    // Makes `header` the GNU 'S' header of a member whose stored data is
    // `storedSize` bytes, its extension blocks appended to `extensions`.
    // False when the map does not describe that data.
    bool makeGnuSparse(HeaderBlock& header, std::uint64_t storedSize, std::vector<HeaderBlock>& extensions) const;

private:
    bool addNumber(std::uint64_t number);

    bool present_ = false;
    std::optional<std::uint64_t> realSize_;
    std::optional<std::uint64_t> count_;  // GNU.sparse.numblocks, or the map text's first line
    std::optional<std::string> name_;
    std::uint64_t major_ = 0;
    std::vector<std::uint64_t> numbers_;  // offset, size, offset, size, ...
    // The map text of 1.0 as it is read: the digits of the number under way.
    std::string pending_;
    bool countRead_ = false;
};

}  // namespace kotar
