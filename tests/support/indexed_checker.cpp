#include "tests/support/indexed_checker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <sstream>

#include "format/byte_order.h"
#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "tests/support/indexed_builder.h"
#include "tests/support/test_support.h"

namespace kotar::test {

namespace {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kPage = 4096;
constexpr unsigned char kElf[4] = {0x7F, 'E', 'L', 'F'};

std::uint64_t roundTo(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool allZero(const std::string& bytes, std::size_t from, std::size_t to) {
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(to),
                       [](char c) { return c == '\0'; });
}

std::string nameField(const HeaderBlock& block) {
    const char* text = reinterpret_cast<const char*>(block.data());
    return {text, strnlen(text, 100)};
}

// One entry of the source tar, as the checker reads it.
struct SourceEntry {
    HeaderBlock header{};
    std::size_t headerAt = 0;
    std::int32_t size = 0;
    bool longName = false;  // 'K' or 'L'
    std::size_t extensionBlocks = 0;  // of a GNU sparse member ('S'), after its header
};

// Walks the plain tar up to its first zero block.
bool readSource(const std::string& tar, std::vector<SourceEntry>& entries) {
    std::size_t at = 0;
    for (;;) {
        if (at + kBlock > tar.size()) {
            ADD_FAILURE() << "source tar ends without a zero block at " << at;
            return false;
        }
        SourceEntry entry;
        entry.header = blockAt(tar, at);
        if (entry.header[0] == '\0') return true;
        entry.headerAt = at;
        entry.size = parseOctalField(entry.header, field::size);
        const char type = static_cast<char>(entry.header[field::typeflag.offset]);
        entry.longName = type == 'K' || type == 'L';
        if (entry.size < 0) {
            ADD_FAILURE() << "source member at " << at << " has a negative size";
            return false;
        }
        // A sparse member's extension blocks, each saying whether another
        // follows at its byte 504.
        for (bool more = type == 'S' && entry.header[482] != 0; more; ++entry.extensionBlocks) {
            const std::size_t block = at + kBlock * (1 + entry.extensionBlocks);
            if (block + kBlock > tar.size()) {
                ADD_FAILURE() << "source tar ends inside the extension blocks at " << at;
                return false;
            }
            more = tar[block + 504] != 0;
        }
        at += kBlock * (1 + entry.extensionBlocks) + roundTo(static_cast<std::uint64_t>(entry.size), kBlock);
        entries.push_back(entry);
    }
}

// Byte ranges of a header that creation may change.
bool mayDiffer(std::size_t i) {
    return (i >= field::chksum.offset && i < field::chksum.offset + field::chksum.width) ||
           (i >= field::magic.offset && i < field::magic.offset + field::magic.width) || i == field::typeflag.offset ||
           i >= field::extension.offset;
}

void checkHeaderCommon(const HeaderBlock& got, const HeaderBlock& source) {
    EXPECT_TRUE(hasMagic(got, kIndexedMagic)) << "magic is not the indexed one";
    for (std::size_t i = 0; i < kBlock; ++i) {
        if (!mayDiffer(i) && got[i] != source[i]) {
            ADD_FAILURE() << "header byte " << i << " is " << int{got[i]} << ", the source has " << int{source[i]};
            break;
        }
    }
    // Checksums are written over signed bytes, as six digits, a NUL and a space.
    const HeaderSums sums = computeHeaderSums(got);
    const std::int32_t stored = parseOctalField(got, field::chksum);
    if (sums.signedSum >= 0) {
        EXPECT_EQ(stored, sums.signedSum) << "checksum is not the signed byte sum";
        const unsigned char* text = got.data() + field::chksum.offset;
        EXPECT_TRUE(std::all_of(text, text + 6, [](unsigned char c) { return c >= '0' && c <= '7'; }) &&
                    text[6] == '\0' && text[7] == ' ')
            << "checksum field is not six octal digits, NUL, space";
    } else {
        EXPECT_TRUE(verifyHeaderChecksum(got)) << "checksum does not verify";
    }
}

void expectLayout(const ExecutableLayout& got, const ExecutableLayout& want, const std::string& what) {
    EXPECT_EQ(got.textOffset, want.textOffset) << what << ": textOffset";
    EXPECT_EQ(got.textPgs, want.textPgs) << what << ": textPgs";
    EXPECT_EQ(got.fixUpPgs, want.fixUpPgs) << what << ": fixUpPgs";
}

ExecutableLayout storedLayout(const HeaderBlock& block) {
    return {readLe32(block.data() + 500), readLe32(block.data() + 504), readLe32(block.data() + 508)};
}

// The layout an aligned member must hold, worked out from its data.
ExecutableLayout layoutOfData(const std::string& data, const std::string& name,
                              const std::map<std::string, ExecutableLayout>& layouts) {
    if (const auto given = layouts.find(name); given != layouts.end()) return given->second;
    TempDir dir;
    writeFile(dir / "image", data);
    ElfFacts facts;
    if (!readElfFacts(dir / "image", facts)) {
        ADD_FAILURE() << name << ": readelf rejects the member's data; give its layout explicitly";
        return {};
    }
    return layoutFromElf(facts);
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

bool isHex(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

std::uint64_t hexValue(const std::string& text) { return std::stoull(text, nullptr, 16); }

}  // namespace

IndexedArchive checkIndexedArchive(const std::string& indexed, const std::string& sourceTar,
                                   const std::map<std::string, ExecutableLayout>& layouts) {
    IndexedArchive result;
    std::vector<SourceEntry> source;
    if (!readSource(sourceTar, source)) return result;

    // The header table: every source header in order, long-name blocks
    // directly after their 'K' / 'L' header.
    struct Pending {
        IndexedMember member;
        HeaderBlock sourceHeader;
        std::size_t sourceDataAt;
    };
    std::vector<Pending> members;
    std::size_t at = 0;
    std::string longName;
    for (const SourceEntry& entry : source) {
        SCOPED_TRACE("header at " + std::to_string(at) + " (" + nameField(entry.header) + ")");
        if (at + kBlock > indexed.size()) {
            ADD_FAILURE() << "archive ends inside its header table";
            return result;
        }
        const HeaderBlock got = blockAt(indexed, at);
        checkHeaderCommon(got, entry.header);
        const char sourceType = static_cast<char>(entry.header[field::typeflag.offset]);
        const char type = static_cast<char>(got[field::typeflag.offset]);
        const std::size_t dataAt = entry.headerAt + kBlock * (1 + entry.extensionBlocks);
        // A sparse member's extension blocks stay right after its header.
        if (entry.extensionBlocks > 0) {
            const std::size_t length = kBlock * entry.extensionBlocks;
            if (at + kBlock + length > indexed.size()) {
                ADD_FAILURE() << "archive ends inside extension blocks";
                return result;
            }
            EXPECT_EQ(indexed.compare(at + kBlock, length, sourceTar, entry.headerAt + kBlock, length), 0)
                << "extension blocks differ from the source";
        }

        if (entry.longName) {
            EXPECT_EQ(type, sourceType);
            EXPECT_TRUE(std::equal(got.begin() + 496, got.end(), entry.header.begin() + 496))
                << "extension bytes of a long-name entry differ from the source";
            const std::size_t blocks = roundTo(static_cast<std::uint64_t>(entry.size), kBlock) / kBlock;
            if (at + kBlock * (1 + blocks) > indexed.size()) {
                ADD_FAILURE() << "archive ends inside long-name blocks";
                return result;
            }
            EXPECT_EQ(indexed.compare(at + kBlock, blocks * kBlock, sourceTar, dataAt, blocks * kBlock), 0)
                << "long-name blocks differ from the source";
            if (sourceType == 'L') {
                const std::string text = sourceTar.substr(dataAt, static_cast<std::size_t>(entry.size));
                longName = text.substr(0, text.find('\0'));
            }
            at += kBlock * (1 + blocks);
            continue;
        }

        Pending pending{{}, entry.header, dataAt};
        IndexedMember& member = pending.member;
        member.name = longName.empty() ? nameField(entry.header) : longName;
        longName.clear();
        member.headerOffset = at;
        member.type = type;
        member.size = static_cast<std::uint32_t>(entry.size);
        member.dataOffset = readLe32(got.data() + 496);
        member.layout = storedLayout(got);
        const bool candidate = sourceType == '0' && (parseOctalField(entry.header, field::mode) & 0100) != 0 &&
                               entry.size > 0;
        member.aligned = candidate && dataAt + 4 <= sourceTar.size() &&
                         std::memcmp(sourceTar.data() + dataAt, kElf, sizeof kElf) == 0;
        EXPECT_EQ(type, member.aligned ? '7' : sourceType) << "typeflag";
        if (entry.size == 0) {
            EXPECT_TRUE(std::all_of(got.begin() + 496, got.end(), [](unsigned char c) { return c == 0; }))
                << "extension fields of a member without data are not zero";
        } else if (!member.aligned) {
            EXPECT_TRUE(std::equal(got.begin() + 500, got.end(), entry.header.begin() + 500))
                << "bytes 500..511 differ from the source";
        }
        members.push_back(pending);
        at += kBlock * (1 + entry.extensionBlocks);
    }

    // Without any member, nothing is written before the zero block, which
    // goes where the data area starts: one unwritten block, then zeros.
    result.tableBlocks = at / kBlock;
    if (source.empty()) {
        EXPECT_EQ(indexed, std::string(2 * kBlock, '\0')) << "an archive without members is not 1024 zero bytes";
        return result;
    }

    // The zero block that ends the table.
    if (at + kBlock > indexed.size()) {
        ADD_FAILURE() << "archive ends before the zero block after the table (" << indexed.size() << " bytes)";
        return result;
    }
    EXPECT_TRUE(allZero(indexed, at, at + kBlock)) << "the block after the header table is not zero";

    // The data area: each member at the cursor rounded to its alignment.
    std::uint64_t cursor = at + kBlock;
    std::uint64_t end = cursor;
    for (Pending& pending : members) {
        IndexedMember& member = pending.member;
        SCOPED_TRACE("data of " + member.name);
        if (member.size == 0) {
            result.members.push_back(member);
            continue;
        }
        const std::uint64_t alignment = member.aligned ? kPage : kBlock;
        const std::uint64_t want = roundTo(cursor, alignment);
        EXPECT_EQ(member.dataOffset, want) << "dataOffset (alignment " << alignment << ")";
        EXPECT_EQ(member.dataOffset % alignment, 0u) << "dataOffset is not aligned";
        if (member.dataOffset < end) ADD_FAILURE() << "data overlaps what comes before it";
        const std::uint64_t dataEnd = std::uint64_t{member.dataOffset} + member.size;
        if (dataEnd > indexed.size()) {
            ADD_FAILURE() << "data runs past the end of the archive";
            result.members.push_back(member);
            return result;
        }
        if (member.dataOffset >= end) {
            EXPECT_TRUE(allZero(indexed, end, member.dataOffset)) << "the gap before the data is not zero";
        }
        EXPECT_EQ(indexed.compare(member.dataOffset, member.size, sourceTar, pending.sourceDataAt, member.size), 0)
            << "data differs from the source";
        if (member.aligned) {
            const ExecutableLayout want =
                layoutOfData(sourceTar.substr(pending.sourceDataAt, member.size), member.name, layouts);
            expectLayout(member.layout, want, member.name);
        }
        end = std::max(end, dataEnd);
        cursor = roundTo(dataEnd, alignment);
        result.members.push_back(member);
    }
    EXPECT_EQ(indexed.size(), end) << "the archive does not end with its last data byte";
    return result;
}

bool readElfFacts(const std::string& path, ElfFacts& facts) {
    facts = {};
    const CommandResult segments = runCommand({"readelf", "-lW", path});
    const CommandResult relocations = runCommand({"readelf", "-rW", path});
    if (segments.status != 0 || relocations.status != 0) return false;

    std::istringstream lines(segments.out);
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> w = words(line);
        if (w.size() < 8 || w[0] != "LOAD") continue;
        ElfFacts::Load load;
        load.offset = hexValue(w[1]);
        load.vaddr = hexValue(w[2]);
        load.memsz = hexValue(w[5]);
        for (std::size_t i = 6; i + 1 < w.size(); ++i) {
            for (const char flag : w[i]) load.flags |= flag == 'R' ? 4u : flag == 'W' ? 2u : flag == 'E' ? 1u : 0u;
        }
        facts.loads.push_back(load);
    }
    std::istringstream relocationLines(relocations.out);
    for (std::string line; std::getline(relocationLines, line);) {
        const std::vector<std::string> w = words(line);
        if (w.size() >= 3 && (w[0].size() == 8 || w[0].size() == 16) && isHex(w[0]) && isHex(w[1])) {
            facts.relocations.push_back(hexValue(w[0]));
        }
    }
    return true;
}

ExecutableLayout layoutFromElf(const ElfFacts& facts) {
    std::vector<ElfFacts::Load> text;
    for (const ElfFacts::Load& load : facts.loads) {
        if ((load.flags & 1u) != 0) text.push_back(load);
    }
    if (text.size() != 1 || text[0].vaddr % kPage != 0) return {};
    const std::uint64_t pages = text[0].memsz / kPage;
    const std::uint64_t textEnd = text[0].vaddr + pages * kPage;
    if (textEnd > 0x80000000u) return {};
    std::set<std::uint64_t> touched;
    for (const std::uint64_t offset : facts.relocations) {
        if (offset >= text[0].vaddr && offset < textEnd) touched.insert(offset / kPage);
    }
    return {static_cast<std::uint32_t>(text[0].offset), static_cast<std::uint32_t>(pages),
            static_cast<std::uint32_t>(touched.size())};
}

}  // namespace kotar::test
