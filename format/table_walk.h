// TableWalk: the one walk over an indexed archive's header table. libkotar,
// the listing, --verify and extraction are all built on it; each keeps its
// own messages and output.
//
//   entry        'K' / 'L' entries, each a header and ceil(size / 512) text
//                blocks, then the header they describe, then that header's
//                sparse extension blocks ('S' with byte 482 set)
//   end          512 zero bytes where a header would start
//
// The rules, in the order they are applied to every header:
//   - a zero block ends the table; one that stands where the header named by
//     a long-name entry must follow is `badLongName`;
//   - the magic is "kerix  \0" (`badMagic`);
//   - the checksum matches either byte sum (`badChecksum`, or only counted
//     in the entry when the walk is told to go on);
//   - a long-name entry's size is octal text from 0 to below 2 GiB
//     (`badSize`); a member's size is read by memberSize() and left to the
//     reader, since the table's structure does not depend on it.
// An 'x' or 'g' entry is an entry of its own: its records lie in the data
// area, like any member's data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "format/header_block.h"
#include "format/header_reader.h"

namespace kotar {

// A long-name text is kept up to its first NUL and at most this long, so that
// a damaged size field cannot make a reader hold gigabytes.
inline constexpr std::size_t kLongNameLimit = 16 * 1024 * 1024;

struct TableEntry {
    HeaderBlock header{};       // the member's header as read
    std::string longName;       // an 'L' text before it, up to its first NUL
    std::string longLinkName;   // a 'K' text before it
    bool hasLongName = false;
    bool hasLongLinkName = false;
    std::optional<std::uint64_t> size;  // the member's size (memberSize)
    unsigned badChecksums = 0;  // headers of the entry whose checksum is wrong

    // The entry's name: its long name, else its name field.
    std::string_view name() const;
    std::string_view linkName() const;

    // Empties all but the header, which the walk reads next.
    void clearForNextRead();
};

enum class WalkStep {
    entry,        // the next entry, in the entry given
    end,          // the zero block that ends the table
    cutShort,     // the blocks ended first
    badMagic,     // a header without the indexed magic (the entry's header)
    badChecksum,  // a header whose checksum is wrong (the entry's header)
    badSize,      // a long-name size out of range (the entry's header)
    badLongName,  // a zero block where a long name's member must follow
    refused,      // the block observer asked to stop
};

class TableWalk {
public:
    enum class Checksums { refuse, count };
    enum class BlockRole { header, text, extension };
    // Sees every block of an entry that passed the rules, as read: headers,
    // long-name text blocks, sparse extension blocks. False stops the walk.
    using SeeBlock = std::function<bool(BlockRole, const unsigned char* block)>;

    explicit TableWalk(HeaderReader::ReadBlock read, Checksums checksums = Checksums::refuse, SeeBlock see = {})
        : reader_(std::move(read)), checksums_(checksums), see_(std::move(see)) {}

    WalkStep next(TableEntry& entry);

    // The blocks read so far, the zero block included.
    std::uint64_t blocksRead() const { return blocksRead_; }

private:
    bool read(HeaderBlock& block);

    HeaderReader reader_;
    Checksums checksums_;
    SeeBlock see_;
    std::uint64_t blocksRead_ = 0;
};

}  // namespace kotar
