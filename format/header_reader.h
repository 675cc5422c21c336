// HeaderReader: the blocks of a sequence of tar header blocks, and which of
// them follow a header. Creation reads a plain tar's headers with it (member
// data between them); TableWalk (format/table_walk.h) builds the one walk
// over an indexed archive's header table on it.
//
//   header              any block that is not 512 zero bytes
//     'K' / 'L'         followed by ceil(size / 512) blocks of text, none
//                       for a size below 1; a size beyond 32 bits is bad
//     'S', byte 482     followed by extension blocks, each with its own
//       not 0           "another follows" byte at 504
//     any other         its data, if any, lies outside the sequence (after
//                       the header in a plain tar, in the data area of an
//                       indexed archive); the caller deals with it
//   zero block          512 zero bytes: the end of the sequence
//
// The reader finds the blocks; its callers check each header with
// checkHeader() and report in their own words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "format/header_block.h"

namespace kotar {

enum class HeaderCheck { valid, badMagic, badChecksum };

// The magic first, then the checksum (either sum).
HeaderCheck checkHeader(const HeaderBlock& header, const Magic& magic);

class HeaderReader {
public:
    // Delivers the next 512-byte block of the sequence; false when there
    // is none whole.
    using ReadBlock = std::function<bool(unsigned char* block)>;
    // Takes a block that follows a header; false stops the walk.
    using TakeBlock = std::function<bool(const unsigned char* block)>;

    explicit HeaderReader(ReadBlock read) : read_(std::move(read)) {}

    enum class Next { header, end, cutShort };
    // The next header; `end` at a zero block.
    Next next(HeaderBlock& header);
    // The next block whatever it holds, a zero block included.
    bool nextBlock(HeaderBlock& block) { return read_(block.data()); }

    enum class Follow { done, cutShort, badSize, refused };
    // Hands the blocks that follow `header` inside the sequence to `take`,
    // in order.
    Follow follow(const HeaderBlock& header, const TakeBlock& take);

private:
    ReadBlock read_;
};

// Takes the text of a long-name entry from its blocks as they come, for
// HeaderReader::follow: its first `size` bytes, up to the first NUL and at
// most `limit` bytes of them.
class LongNameText {
public:
    LongNameText(std::uint64_t size, std::size_t limit) : left_(size), limit_(limit) {}

    bool take(const unsigned char* block);
    std::string& text() { return text_; }

private:
    std::uint64_t left_;
    std::size_t limit_;
    bool ended_ = false;
    std::string text_;
};

}  // namespace kotar
