// Indexed archives built in code, block by block, for the tests that feed
// kotar and libkotar good and damaged tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/header_block.h"
#include "tests/support/test_support.h"

namespace kotar::test {

std::string bytesOf(const HeaderBlock& block);
// The block at `offset`; all zeros where the bytes end before it does.
HeaderBlock blockAt(const std::string& bytes, std::size_t offset);
// The bytes padded with zeros to a block boundary.
std::string padded(const std::string& bytes);

// Puts `text` into a field as it stands: no terminator is added, and the
// rest of the field is cleared.
void putField(HeaderBlock& block, HeaderField field, const std::string& text);

using HeaderEdit = std::function<void(HeaderBlock&)>;

// A header as GNU tar writes it, changed by `edit` before its checksum.
HeaderBlock plainHeader(const HeaderSpec& spec, const HeaderEdit& edit = {});

// A header in the indexed form, as creation writes it.
HeaderBlock indexedHeader(const HeaderSpec& spec);

// Puts raw text into a header field (for values setOctalField cannot write)
// and recomputes the checksum.
void setFieldText(HeaderBlock& block, HeaderField field, const std::string& text);

// `length` characters of recognisable name text starting with `first`.
std::string nameText(std::size_t length, char first);

// One entry of an indexed archive built here: its header, the long-name
// text that follows it in the header table, and its data, which goes into
// the data area at the next block boundary unless `dataOffset` says where
// the header is to point instead.
struct IndexedEntry {
    HeaderBlock header;
    std::string text;
    std::string data;
    std::optional<std::uint32_t> dataOffset;
};

std::string indexedArchive(const std::vector<IndexedEntry>& entries);

// An indexed archive under construction, with the listing it should give
// and, for each listed line, the offset where the block that completes it ends.
struct ArchiveBuilder {
    std::string bytes;
    std::string listing;
    std::vector<std::pair<std::size_t, std::string>> lines;

    void member(const HeaderSpec& spec, const std::string& line) { member(indexedHeader(spec), line); }
    void member(const HeaderBlock& header, const std::string& line);
    // A 'K' or 'L' entry whose size is text.size(), then its text blocks.
    void longName(char type, const std::string& text);
    void zeroBlock() { appendBlock(bytes, HeaderBlock{}); }

    // The lines printed when the input ends at `cut`.
    std::string listingUpTo(std::size_t cut) const;
};

}  // namespace kotar::test
