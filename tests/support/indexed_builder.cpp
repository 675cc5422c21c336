#include "tests/support/indexed_builder.h"

#include <algorithm>
#include <cstring>

#include "format/indexed_layout.h"

namespace kotar::test {

std::string bytesOf(const HeaderBlock& block) {
    return {reinterpret_cast<const char*>(block.data()), block.size()};
}

HeaderBlock blockAt(const std::string& bytes, std::size_t offset) {
    HeaderBlock block{};
    if (offset <= bytes.size() && bytes.size() - offset >= block.size()) {
        std::copy_n(bytes.data() + offset, block.size(), block.begin());
    }
    return block;
}

std::string padded(const std::string& bytes) {
    std::string out;
    appendPadded(out, bytes);
    return out;
}

void putField(HeaderBlock& block, HeaderField field, const std::string& text) {
    std::fill_n(block.begin() + field.offset, field.width, 0);
    std::memcpy(block.data() + field.offset, text.data(), std::min(text.size(), field.width));
}

HeaderBlock plainHeader(const HeaderSpec& spec, const HeaderEdit& edit) {
    HeaderBlock header = makeHeader(spec);
    if (edit) edit(header);
    setHeaderChecksum(header, false);
    return header;
}

HeaderBlock indexedHeader(const HeaderSpec& spec) {
    HeaderBlock block = makeHeader(spec);
    storeMagic(block, kIndexedMagic);
    setHeaderChecksum(block, true);
    return block;
}

void setFieldText(HeaderBlock& block, HeaderField field, const std::string& text) {
    putField(block, field, text);
    setHeaderChecksum(block, true);
}

std::string nameText(std::size_t length, char first) {
    std::string text;
    for (std::size_t i = 0; text.size() < length; ++i) {
        text += i == 0 ? first : static_cast<char>('a' + i % 26);
        if (i % 37 == 36 && text.size() < length) text += '/';
    }
    return text.substr(0, length);
}

std::string indexedArchive(const std::vector<IndexedEntry>& entries) {
    std::size_t tableBlocks = 1;  // the zero block
    for (const IndexedEntry& entry : entries) tableBlocks += 1 + blocksFor(entry.text.size());
    std::string table;
    std::string area;
    for (const IndexedEntry& entry : entries) {
        HeaderBlock header = entry.header;
        std::uint32_t offset = 0;
        if (!entry.data.empty()) {
            offset = static_cast<std::uint32_t>(tableBlocks * kBlockSize + area.size());
            area += padded(entry.data);
        }
        writeExtensionField(header, kDataOffsetAt, entry.dataOffset.value_or(offset));
        storeMagic(header, kIndexedMagic);
        setHeaderChecksum(header, false);
        table += bytesOf(header) + padded(entry.text);
    }
    return table + std::string(kBlockSize, '\0') + area;
}

void ArchiveBuilder::member(const HeaderBlock& header, const std::string& line) {
    appendBlock(bytes, header);
    listing += line;
    lines.emplace_back(bytes.size(), line);
}

void ArchiveBuilder::longName(char type, const std::string& text) {
    appendBlock(bytes, indexedHeader({.name = "././@LongLink", .mode = 0, .size = text.size(), .typeflag = type,
                                      .mtime = 0, .uid = 0, .gid = 0}));
    appendPadded(bytes, text);
}

std::string ArchiveBuilder::listingUpTo(std::size_t cut) const {
    std::string out;
    for (const auto& [end, line] : lines) {
        if (end <= cut) out += line;
    }
    return out;
}

}  // namespace kotar::test
