// The header table of an indexed archive, checked and read into members by
// the table walk (format/table_walk.h), for libkotar.
//
//   block 0 ...            headers, "kerix  \0" magic, checksum verified
//     'K' / 'L' header     followed by ceil(size / 512) blocks of text that
//                          name the next member header (its link / its name)
//     'S' header           a GNU sparse member: its data map (offset, length
//                          pairs of octal text) at 386, four entries; when
//                          byte 482 is not 0, extension blocks follow, 21
//                          entries each and their own "another follows"
//                          byte at 504; its real size at 483
//     other header         one member: its data is `size` bytes at dataOffset
//   block T                512 zero bytes: the end of the table
//
// A member's data must lie inside the file and below 2^31; its size must be
// 0 to 2^31 - 1. A 'K' / 'L' run must end in a member header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/header_block.h"
#include "format/header_reader.h"

namespace kotar {

// A piece of a sparse member's data: `length` bytes of its data, one after
// another, stand at `offset` of the file; the rest is holes.
struct SparseExtent {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// A member of the table. Names are offsets into HeaderTable::names, each
// text followed by a NUL.
struct TableMember {
    std::uint32_t nameAt = 0;
    std::uint32_t linkNameAt = 0;
    unsigned char type = 0;
    std::int64_t mode = 0;
    std::int64_t uid = 0;
    std::int64_t gid = 0;
    std::int64_t mtime = 0;
    std::uint64_t size = 0;
    std::uint32_t dataOffset = 0;
    std::uint32_t textOffset = 0;
    std::uint32_t textPgs = 0;
    std::uint32_t fixUpPgs = 0;
    std::uint32_t unameAt = 0;  // texts in HeaderTable::names
    std::uint32_t gnameAt = 0;
    std::int64_t devMajor = 0;
    std::int64_t devMinor = 0;
    std::uint64_t realSize = 0;  // 'S': the file's size with its holes; else size
    std::uint32_t sparseAt = 0;  // 'S': its extents in HeaderTable::sparse
    std::uint32_t sparseCount = 0;
};

// The texts and sparse extents of the members a walk has read.
struct HeaderTable {
    std::string names;
    std::vector<SparseExtent> sparse;
    std::uint64_t blocks = 0;  // T: headers, text and extension blocks
};

// Where the walk puts the members it reads, one at a time, so that no list
// of them stands between the table and its reader.
class MemberSink {
public:
    // About how many members the table holds, told once, when the first
    // data offset bounds it.
    virtual void expect(std::size_t members) = 0;
    // The next member in table order; its texts are in HeaderTable::names,
    // which may still move as it grows.
    virtual void take(const TableMember& member) = 0;

protected:
    ~MemberSink() = default;
};

enum class TableStatus {
    complete,      // the zero block was found
    needMore,      // the blocks end before the zero block
    badMagic,
    badChecksum,
    badField,      // a size out of range or a number beyond 64 bits
    badLongName,   // a long-name run ends without a member header
    badData,       // data outside the file or from 2^31
};

struct TableScan {
    TableStatus status = TableStatus::needMore;
};

// Reads the table of a file of `fileSize` bytes, its members into `members`
// and their texts into `table` (cleared first), taking its blocks one by one
// from `read` (false: no more).
TableScan readHeaderTable(const HeaderReader::ReadBlock& read, std::uint64_t fileSize, HeaderTable& table,
                          MemberSink& members);

}  // namespace kotar
