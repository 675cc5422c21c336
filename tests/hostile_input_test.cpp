// Hostile input, end to end through the kotar binary: size fields that hold
// no 32-bit size, data offsets that point anywhere, fields without a NUL,
// damaged gzip streams, crafted executables and awkward destinations. Each
// case ends with its message and status 255, or with a correct result, and
// leaves alone every file that kotar was not told to write.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <zlib.h>

#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "elfscan/analyze_executable.h"
#include "tests/support/damaged_tables.h"
#include "tests/support/elf_image.h"
#include "tests/support/indexed_builder.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::CommandResult;
using test::HeaderSpec;
using test::TempDir;
using test::kEarlierDestination;
using test::makeHeader;
using test::readFile;
using test::runKotar;
using test::writeFile;
using test::HeaderEdit;
using test::IndexedEntry;
using test::SizeField;
using test::blockAt;
using test::bytesOf;
using test::indexedArchive;
using test::padded;
using test::plainHeader;
using test::putField;
using test::sizeFields;

const std::string kTooBig = "file too big, max supported size is 2147483648\n";
const std::string kReadFailure = "unable to read input file\n";
const std::string kInvalidInput = "invalid input file\n";
const std::string kWriteFailure = "unable to write to output file\n";
const std::string kEndOfArchive(2 * kBlockSize, '\0');

// A member of a plain tar: its header, then its data padded to a block.
std::string plainMember(const HeaderSpec& spec, const std::string& data, const HeaderEdit& edit = {}) {
    return bytesOf(plainHeader(spec, edit)) + padded(data);
}

// What extraction writes for an indexed header: the plain magic, no
// extension fields, the unsigned checksum.
HeaderBlock asExtracted(HeaderBlock header) {
    storeMagic(header, kPlainMagic);
    if (!isLongNameEntry(header)) std::fill_n(header.begin() + field::extension.offset, field::extension.width, 0);
    setHeaderChecksum(header, false);
    return header;
}

// The bytes of a gzip member holding `bytes`.
std::string gzipMember(const std::string& bytes) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, bytes.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::size_t lineCount(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

// ---------------------------------------------------------------------------
// Size fields. Each holds either a size of 512 written in an unusual way, or
// no size that the 32-bit format can take: negative, 2^31 and above (also
// where the low 32 bits alone would look harmless), base-256, or digits that
// fill the field with no terminator and run on into the next field.

const std::string kLongName = std::string(511, 'n');  // with its NUL, one block of text
const std::string kPayload(512, 'p');

HeaderEdit sizeEdit(const SizeField& size) {
    return [&size](HeaderBlock& h) { putField(h, field::size, size.text); };
}


TEST(HostileSizes, Creation) {
    TempDir dir;
    const std::string input = dir / "in.tar";
    const std::string output = dir / "out.ktar";
    for (const SizeField& size : sizeFields()) {
        for (const bool longName : {false, true}) {
            SCOPED_TRACE(std::string(size.what) + (longName ? " in a long-name entry" : " in a member"));
            std::string tar;
            if (longName) {
                tar += plainMember({.name = "././@LongLink", .typeflag = 'L'}, kLongName + '\0', sizeEdit(size));
                tar += plainMember({.name = "short", .size = 5}, "hello");
            } else {
                tar += plainMember({.name = "member", .size = 512}, kPayload, sizeEdit(size));
            }
            writeFile(input, tar + kEndOfArchive);
            writeFile(output, kEarlierDestination);
            const CommandResult result = runKotar({"-c", input, "-o", output});
            const std::string ktar = readFile(output);
            if (!size.holds512) {
                EXPECT_EQ(result.err, kTooBig);
                EXPECT_EQ(result.status, 255);
                EXPECT_EQ(ktar, kEarlierDestination);
                continue;
            }
            EXPECT_EQ(result.err, "");
            ASSERT_EQ(result.status, 0);
            // The field is carried over as it stands; the data lies after the table.
            EXPECT_EQ(fieldText(blockAt(ktar, 0), field::size), fieldText(blockAt(tar, 0), field::size));
            if (longName) {
                EXPECT_EQ(ktar.substr(kBlockSize, kLongName.size()), kLongName);
                EXPECT_EQ(readExtensionField(blockAt(ktar, 2 * kBlockSize), kDataOffsetAt), 4 * kBlockSize);
                EXPECT_EQ(ktar.substr(4 * kBlockSize), "hello");
            } else {
                EXPECT_EQ(readExtensionField(blockAt(ktar, 0), kDataOffsetAt), 2 * kBlockSize);
                EXPECT_EQ(ktar.substr(2 * kBlockSize), kPayload);
            }
        }
    }
}

TEST(HostileSizes, Extraction) {
    TempDir dir;
    const std::string input = dir / "in.ktar";
    const std::string output = dir / "out.tar";
    for (const SizeField& size : sizeFields()) {
        {
            SCOPED_TRACE(std::string(size.what) + " in a member");
            const HeaderBlock header = plainHeader({.name = "member", .size = 512}, sizeEdit(size));
            writeFile(input, indexedArchive({{.header = header, .data = kPayload}}));
            writeFile(output, kEarlierDestination);
            const CommandResult result = runKotar({"-x", input, "-o", output});
            const std::string extractedHeader = bytesOf(asExtracted(header));
            if (size.holds512) {
                EXPECT_EQ(result.err, "");
                EXPECT_EQ(result.status, 0);
                EXPECT_EQ(readFile(output), extractedHeader + kPayload + kEndOfArchive);
            } else {
                EXPECT_EQ(result.err, kInvalidInput);
                EXPECT_EQ(result.status, 255);
                EXPECT_EQ(readFile(output), kEarlierDestination);
            }
        }
        {
            SCOPED_TRACE(std::string(size.what) + " in a long-name entry");
            const HeaderBlock entry = plainHeader({.name = "././@LongLink", .typeflag = 'L'}, sizeEdit(size));
            const HeaderBlock member = plainHeader({.name = "short", .size = 5});
            writeFile(input, indexedArchive({{.header = entry, .text = kLongName + '\0'},
                                             {.header = member, .data = "hello"}}));
            const CommandResult result = runKotar({"-x", input, "-o", output});
            if (size.holds512) {
                EXPECT_EQ(result.err, "");
                EXPECT_EQ(result.status, 0);
                EXPECT_EQ(readFile(output), bytesOf(asExtracted(entry)) + padded(kLongName + '\0') +
                                                bytesOf(asExtracted(member)) + padded("hello") + kEndOfArchive);
            } else {
                EXPECT_EQ(result.err, kInvalidInput);
                EXPECT_EQ(result.status, 255);
            }
        }
    }
}

TEST(HostileSizes, Listing) {
    TempDir dir;
    const std::string input = dir / "in.ktar";
    for (const SizeField& size : sizeFields()) {
        {
            // The listing only shows a member's size; it never goes by it.
            SCOPED_TRACE(std::string(size.what) + " in a member");
            const HeaderBlock header = plainHeader({.name = "member", .size = 512}, sizeEdit(size));
            writeFile(input, indexedArchive({{.header = header, .data = kPayload}}));
            const CommandResult result = runKotar({"-t" + input});
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(lineCount(result.out), 1u);
            EXPECT_TRUE(result.out.ends_with(" member\n")) << result.out;
            if (size.holds512) {
                EXPECT_NE(result.out.find("        512 "), std::string::npos) << result.out;
            }
        }
        {
            SCOPED_TRACE(std::string(size.what) + " in a long-name entry");
            const HeaderBlock entry = plainHeader({.name = "././@LongLink", .typeflag = 'L'}, sizeEdit(size));
            writeFile(input, indexedArchive({{.header = entry, .text = kLongName + '\0'},
                                             {.header = plainHeader({.name = "short", .size = 5}), .data = "hello"}}));
            const CommandResult result = runKotar({"-t" + input});
            if (size.holds512) {
                EXPECT_EQ(result.err, "");
                EXPECT_EQ(result.status, 0);
                EXPECT_TRUE(result.out.ends_with(" " + kLongName + "\n")) << result.out;
                EXPECT_EQ(lineCount(result.out), 1u);
            } else {
                EXPECT_EQ(result.err, kReadFailure);
                EXPECT_EQ(result.status, 255);
                EXPECT_EQ(result.out, "");
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Data offsets. Extraction copies a member's data from wherever its header
// points: into the header table, back to another member's data, over the
// end of another member, at an odd offset. Past the end of the stream is a
// read failure, after the header has gone out.

TEST(HostileOffsets, ExtractionCopiesFromWhereTheHeaderPoints) {
    TempDir dir;
    const std::string first(700, 'a');
    const std::string second(300, 'b');
    const HeaderBlock firstHeader = plainHeader({.name = "first", .size = first.size()});
    const HeaderBlock secondHeader = plainHeader({.name = "second", .size = second.size()});
    const std::string regular = indexedArchive({{.header = firstHeader, .data = first}, {.header = secondHeader, .data = second}});
    const std::uint32_t firstAt = readExtensionField(blockAt(regular, 0), kDataOffsetAt);
    const auto archiveSize = static_cast<std::uint32_t>(regular.size());

    struct OffsetCase {
        const char* what;
        std::uint32_t secondAt;
        std::string error;  // empty: extraction succeeds
    };
    const std::vector<OffsetCase> cases = {
        {"inside the header table", 0, ""},
        {"inside the header table, at an odd byte", 100, ""},
        {"back at the first member's data", firstAt, ""},
        {"over the end of the first member's data", firstAt + 500, ""},
        {"at an odd byte of the first member's data", firstAt + 1, ""},
        {"running past the end of the stream", archiveSize - 100, kReadFailure},
        {"past the end of the stream", archiveSize + 512u, kReadFailure},
        {"just below 2 GiB", 0x7FFFFFFFu, kReadFailure},
        {"at 2 GiB", 0x80000000u, kInvalidInput},
    };
    for (const OffsetCase& c : cases) {
        const std::string ktar = indexedArchive(
            {{.header = firstHeader, .data = first}, {.header = secondHeader, .data = second, .dataOffset = c.secondAt}});
        const std::string expectedStart = bytesOf(asExtracted(firstHeader)) + padded(first) + bytesOf(asExtracted(secondHeader));
        for (const bool gzip : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (gzip ? ", gzip" : ""));
            const std::string input = dir / (gzip ? "in.kgz" : "in.ktar");
            writeFile(input, gzip ? gzipMember(ktar) : ktar);
            const CommandResult result = runKotar({"-x", input, "-o", dir / "out.tar"});
            const std::string tar = readFile(dir / "out.tar");
            EXPECT_EQ(result.err, c.error);
            if (c.error.empty()) {
                EXPECT_EQ(result.status, 0);
                std::string copied = ktar.substr(c.secondAt, second.size());
                copied.resize(second.size(), '\0');  // the padding that creation never wrote
                EXPECT_EQ(tar, expectedStart + padded(copied) + kEndOfArchive);
            } else {
                EXPECT_EQ(result.status, 255);
                EXPECT_EQ(tar.substr(0, expectedStart.size()), expectedStart);
            }
        }
    }
}

// Output positions are 32-bit: a member that would take the output to 4 GiB
// is refused before any of its data is copied. The first member's 2 GiB come
// from a sparse file and go to /dev/null.
TEST(HostileOffsets, ExtractionStopsBeforeTheOutputReaches4GiB) {
    TempDir dir;
    constexpr std::uint64_t kSize = 0x7FFFFE00;  // the largest block multiple below 2 GiB
    std::vector<IndexedEntry> entries;
    for (const char* name : {"first", "second"}) {
        entries.push_back({.header = plainHeader({.name = name, .size = kSize}), .dataOffset = 3 * kBlockSize});
    }
    const std::string input = dir / "huge.ktar";
    writeFile(input, indexedArchive(entries));
    ASSERT_EQ(truncate(input.c_str(), static_cast<off_t>(3 * kBlockSize + kSize)), 0);
    const CommandResult result = runKotar({"-x", input, "-o", "/dev/null"});
    EXPECT_EQ(result.err, kInvalidInput);
    EXPECT_EQ(result.status, 255);
}

// ---------------------------------------------------------------------------
// Fields without a NUL: messages and names stop at the end of their field or
// block, never after it.

TEST(HostileFields, BlocksWithoutANulAreQuotedToTheMagicFieldEnd) {
    TempDir dir;
    struct BlockCase {
        const char* what;
        std::string block;
        std::string quoted;  // the text inside the quotes of the magic message
    };
    std::string ustarSpaces = bytesOf(plainHeader({.name = "member"}, [](HeaderBlock& h) {
        putField(h, field::magic, "ustar   ");  // no NUL: the quote stops at the field's end
    }));
    const std::vector<BlockCase> cases = {
        // 0xFF is never part of UTF-8: each one is escaped.
        {"a block of 0xFF bytes", std::string(kBlockSize, '\xFF'), [] {
             std::string quoted;
             for (std::size_t i = 0; i < field::magic.width; ++i) quoted += "\\377";
             return quoted;
         }()},
        {"a block of letters", std::string(kBlockSize, 'A'), std::string(field::magic.width, 'A')},
        {"a magic field of spaces", ustarSpaces, "ustar   "},
    };
    for (const BlockCase& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(dir / "in", c.block + kEndOfArchive);
        const CommandResult created = runKotar({"-c", dir / "in", "-o", dir / "out"});
        EXPECT_EQ(created.err, "invalid tar magic '" + c.quoted + "'\n");
        EXPECT_EQ(created.status, 255);
        EXPECT_EQ(readFile(dir / "out"), "");
        const CommandResult extracted = runKotar({"-x", dir / "in", "-o", dir / "out"});
        EXPECT_EQ(extracted.err, "invalid kotar magic '" + c.quoted + "'\n");
        EXPECT_EQ(extracted.status, 255);
        EXPECT_EQ(readFile(dir / "out"), "");
        const CommandResult listed = runKotar({"-t" + dir / "in"});
        EXPECT_EQ(listed.err, "invalid kotar magic '" + c.quoted + "'\n");
        EXPECT_EQ(listed.status, 255);
        EXPECT_EQ(listed.out, "");
    }
}

TEST(HostileFields, NamesFilledToTheirWidthStopThere) {
    TempDir dir;
    const std::string name(100, 'N');
    const std::string script = "#!/bin/sh\n";
    // Name, link name and the fields after them all without a NUL.
    const std::string tar = plainMember({.name = name, .mode = 0755, .size = script.size()}, script, [](HeaderBlock& h) {
        putField(h, field::linkname, std::string(100, 'L'));
        putField(h, field::uname, std::string(32, 'U'));
        putField(h, field::gname, std::string(32, 'G'));
        putField(h, field::prefix, std::string(151, 'P'));
    });
    writeFile(dir / "in.tar", tar + kEndOfArchive);
    const CommandResult created = runKotar({"-v", "-c", dir / "in.tar", "-o", dir / "out.ktar"});
    EXPECT_EQ(created.err, "Not aligning executable " + name + "\n");
    EXPECT_EQ(created.out, "");
    ASSERT_EQ(created.status, 0);
    const CommandResult listed = runKotar({"-t" + dir / "out.ktar"});
    EXPECT_EQ(listed.status, 0);
    EXPECT_TRUE(listed.out.ends_with(" " + name + "\n")) << listed.out;
    const CommandResult extracted = runKotar({"-x", dir / "out.ktar", "-o", dir / "back.tar"});
    EXPECT_EQ(extracted.status, 0);
    EXPECT_EQ(readFile(dir / "back.tar"), tar + kEndOfArchive);
}

// ---------------------------------------------------------------------------
// gzip streams: several members in a row read as one stream and trailing
// garbage after the last member is ignored, as gzip itself does. Damaged
// data is a read failure; a stream cut short delivers what it holds, and is
// a read failure for a mode that needs more.

TEST(HostileGzip, EveryModeReadsWhatTheDecoderDelivers) {
    TempDir dir;
    const std::string script = "#!/bin/sh\necho hello\n";
    const std::string tar = plainMember({.name = "dir/", .typeflag = '5'}, "") +
                            plainMember({.name = "dir/script", .mode = 0755, .size = script.size()}, script) +
                            plainMember({.name = "dir/data", .size = 3000}, std::string(3000, 'd')) + kEndOfArchive;
    writeFile(dir / "src.tar", tar);
    ASSERT_EQ(runKotar({"-c", dir / "src.tar", "-o", dir / "src.ktar"}).status, 0);
    const std::string ktar = readFile(dir / "src.ktar");
    const std::string listing = runKotar({"-t" + dir / "src.ktar"}).out;
    ASSERT_EQ(lineCount(listing), 3u);

    // A damaged trailer or a stream cut short fails creation and extraction,
    // which read their input to its end; the listing reads only the header
    // table, which may come whole before the damage.
    using Damage = std::function<std::string(const std::string&)>;
    struct GzipCase {
        const char* what;
        Damage make;  // the file, from the plain bytes
        bool converts;
        bool lists;
    };
    const auto flipped = [](std::string z, std::size_t fromEnd) {
        z[z.size() - fromEnd] = static_cast<char>(z[z.size() - fromEnd] ^ 0x01);
        return z;
    };
    // The tar ends long before the stream does, as with tar -b 512.
    const std::string padding(300 * 1024, '\0');
    const std::vector<GzipCase> cases = {
        {"one member", [](const std::string& b) { return gzipMember(b); }, true, true},
        {"two members", [](const std::string& b) { return gzipMember(b.substr(0, 700)) + gzipMember(b.substr(700)); }, true, true},
        {"a member per block",
         [](const std::string& b) {
             std::string out;
             for (std::size_t at = 0; at < b.size(); at += kBlockSize) out += gzipMember(b.substr(at, kBlockSize));
             return out;
         },
         true, true},
        {"trailing garbage", [](const std::string& b) { return gzipMember(b) + "trailing garbage"; }, true, true},
        {"cut in its trailer", [](const std::string& b) { const std::string z = gzipMember(b); return z.substr(0, z.size() - 4); }, false, true},
        {"a wrong check value far after the end blocks",
         [&](const std::string& b) { return flipped(gzipMember(b + padding), 8); }, false, true},
        {"a wrong length far after the end blocks",
         [&](const std::string& b) { return flipped(gzipMember(b + padding), 4); }, false, true},
        {"a second member cut short far after the end blocks",
         [&](const std::string& b) { const std::string z = gzipMember(padding); return gzipMember(b) + z.substr(0, z.size() / 2); },
         false, true},
        {"cut before its first block ends", [](const std::string& b) { return gzipMember(b).substr(0, 30); }, false, false},
        {"a reserved block type",
         [](const std::string& b) {
             std::string z = gzipMember(b);
             z[10] = static_cast<char>(z[10] | 0x06);  // the first deflate block header follows the 10-byte gzip header
             return z;
         },
         false, false},
        {"a wrong check value in the first of two members",
         [&](const std::string& b) { return flipped(gzipMember(b.substr(0, 700)), 8) + gzipMember(b.substr(700)); },
         false, false},
        // After the last byte the listing reads, but not after what the
        // conversions read.
        {"a wrong check value at the end", [&](const std::string& b) { return flipped(gzipMember(b), 8); }, false, true},
        {"the gzip magic alone", [](const std::string&) { return std::string("\x1F\x8B", 2); }, false, false},
        {"one byte", [](const std::string&) { return std::string("\x1F", 1); }, false, false},
        {"an empty file", [](const std::string&) { return std::string(); }, false, false},
    };
    for (const GzipCase& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(dir / "in.tgz", c.make(tar));
        writeFile(dir / "in.kgz", c.make(ktar));
        writeFile(dir / "out.ktar", kEarlierDestination);
        writeFile(dir / "out.tar", kEarlierDestination);
        const CommandResult created = runKotar({"-c", dir / "in.tgz", "-o", dir / "out.ktar"});
        const CommandResult extracted = runKotar({"-x", dir / "in.kgz", "-o", dir / "out.tar"});
        const CommandResult listed = runKotar({"-t"}, dir / "in.kgz");
        if (c.converts) {
            EXPECT_EQ(created.err + extracted.err, "");
            EXPECT_EQ(created.status + extracted.status, 0);
            EXPECT_EQ(readFile(dir / "out.ktar"), ktar);
            EXPECT_EQ(readFile(dir / "out.tar"), tar);
        } else {
            EXPECT_EQ(created.err, kReadFailure);
            EXPECT_EQ(created.status, 255);
            EXPECT_EQ(readFile(dir / "out.ktar"), kEarlierDestination);
            EXPECT_EQ(extracted.err, kReadFailure);
            EXPECT_EQ(extracted.status, 255);
            EXPECT_EQ(readFile(dir / "out.tar"), kEarlierDestination);
        }
        if (c.lists) {
            EXPECT_EQ(listed.err, "");
            EXPECT_EQ(listed.status, 0);
            EXPECT_EQ(listed.out, listing);
        } else {
            EXPECT_EQ(listed.err, kReadFailure);
            EXPECT_EQ(listed.status, 255);
        }
    }
}

// ---------------------------------------------------------------------------
// Crafted executables, through creation: whatever the analysis meets, it
// reports in one line and creation goes on; the member is aligned, its data
// copied unchanged, and extraction gives the source tar back.

using test::ElfSection;
using test::ElfSegment;
using test::ElfSpec;

ElfSpec goodExecutable(bool elf64) {
    ElfSpec spec;
    spec.elf64 = elf64;
    spec.segments = {{.flags = PF_R | PF_X, .offset = 0, .vaddr = 0x400000, .memsz = 0x2000},
                     {.flags = PF_R | PF_W, .offset = 0x2000, .vaddr = 0x600000, .memsz = 0x100}};
    spec.sections = {{.type = SHT_RELA, .offsets = {0x400010, 0x401000, 0x600000}}};
    return spec;
}

TEST(HostileExecutables, CreationReportsAndGoesOn) {
    TempDir dir;
    struct ExecutableCase {
        const char* what;
        bool elf64;
        std::function<void(ElfSpec&)> edit;
        std::string message;
        ExecutableLayout layout;
    };
    const std::string kPhdr = "could not read phdr\n";
    const std::string kShdr = "could not read shdr\n";
    const std::string kRel = "could not read rel\n";
    const std::string kTooLarge = "text region is too big\n";
    const auto text = [](std::uint64_t vaddr, std::uint64_t memsz) {
        return [=](ElfSpec& s) {
            s.segments[0].vaddr = vaddr;
            s.segments[0].memsz = memsz;
        };
    };
    const auto relocationSize = [](std::uint64_t size) { return [=](ElfSpec& s) { s.sections[0].size = size; }; };
    const std::vector<ExecutableCase> cases = {
        {"a good image", true, {}, "", {0, 2, 2}},
        {"a good ELF32 image", false, {}, "", {0, 2, 2}},
        {"e_phnum 65535", true, [](ElfSpec& s) { s.phnum = 65535; }, kPhdr, {}},
        {"e_shnum 65535", true, [](ElfSpec& s) { s.shnum = 65535; }, kShdr, {}},
        {"ELF32 e_phnum and e_shnum 65535", false, [](ElfSpec& s) { s.phnum = 65535; s.shnum = 65535; }, kPhdr, {}},
        {"program headers past the end", true, [](ElfSpec& s) { s.phoff = 0x7FFF0000; }, kPhdr, {}},
        {"section headers past the end", true, [](ElfSpec& s) { s.shoff = 0xFFFFFFF0; }, kShdr, {}},
        {"sh_size 2^32, whose low 32 bits are 0", true, relocationSize(std::uint64_t{1} << 32), kRel, {}},
        {"sh_size 2^32 + 24", true, relocationSize((std::uint64_t{1} << 32) + 24), kRel, {}},
        {"sh_size 2^64 - 1", true, relocationSize(~std::uint64_t{0}), kRel, {}},
        {"sh_size 2^32 - 1, past the end", true, relocationSize(0xFFFFFFFF), kRel, {}},
        {"ELF32 sh_size 2^32 - 1, past the end", false, relocationSize(0xFFFFFFFF), kRel, {}},
        {"relocation sections of size 0", true,
         [](ElfSpec& s) {
             s.sections.insert(s.sections.begin(), ElfSection{.type = SHT_REL});
             s.sections.push_back({.type = SHT_RELA, .offsets = {0x400020}, .size = 0});
         },
         "", {0, 2, 2}},
        {"p_memsz near 2^64", true, text(0x400000, 0xFFFFFFFFFFFFF000), kTooLarge, {}},
        {"p_memsz 2^64 - 1 at address 0", true, text(0, ~std::uint64_t{0}), kTooLarge, {}},
        {"ELF32 text running past 4 GiB", false, text(0x1000, 0xFFFFF000), kTooLarge, {}},
        {"text ending just below 2 GiB", true,
         [](ElfSpec& s) {
             s.segments[0].vaddr = 0x7FFFE000;
             s.segments[0].memsz = 0x1000;
             s.sections[0].offsets = {0x7FFFE008, 0x7FFFF000};
         },
         "", {0, 1, 1}},
        {"text ending at 2 GiB", true, text(0x7FFFE000, 0x2000), kTooLarge, {}},
        {"text at 2 GiB", true, text(0x80000000, 0x1000), kTooLarge, {}},
        {"text at 2^63", true, text(std::uint64_t{1} << 63, 0x1000), kTooLarge, {}},
    };
    for (const ExecutableCase& c : cases) {
        SCOPED_TRACE(c.what);
        ElfSpec spec = goodExecutable(c.elf64);
        if (c.edit) c.edit(spec);
        const std::string image = test::buildElf(spec);
        const std::string tar = plainMember({.name = "bin/tool", .mode = 0755, .size = image.size()}, image) +
                                plainMember({.name = "after.txt", .size = 6}, "after\n") + kEndOfArchive;
        writeFile(dir / "in.tar", tar);
        writeFile(dir / "in.tgz", gzipMember(tar));
        const CommandResult result = runKotar({"-c", dir / "in.tar", "-o", dir / "out.ktar"});
        EXPECT_EQ(result.err, c.message);
        ASSERT_EQ(result.status, 0);
        const std::string ktar = readFile(dir / "out.ktar");
        const HeaderBlock header = blockAt(ktar, 0);
        EXPECT_EQ(typeflagOf(header), '7');
        const std::uint32_t dataOffset = readExtensionField(header, kDataOffsetAt);
        EXPECT_EQ(dataOffset % kPageSize, 0u);
        EXPECT_EQ(ktar.substr(dataOffset, image.size()), image);
        EXPECT_EQ(readExtensionField(header, kTextOffsetAt), c.layout.textOffset);
        EXPECT_EQ(readExtensionField(header, kTextPgsAt), c.layout.textPgs);
        EXPECT_EQ(readExtensionField(header, kFixUpPgsAt), c.layout.fixUpPgs);

        const CommandResult fromGzip = runKotar({"-c", dir / "in.tgz", "-o", dir / "gz.ktar"});
        EXPECT_EQ(fromGzip.err, c.message);
        EXPECT_EQ(fromGzip.status, 0);
        EXPECT_EQ(readFile(dir / "gz.ktar"), ktar);

        EXPECT_EQ(runKotar({"-x", dir / "out.ktar", "-o", dir / "back.tar"}).status, 0);
        EXPECT_EQ(readFile(dir / "back.tar"), tar);
    }
}

// ---------------------------------------------------------------------------
// Destinations. Opening the destination truncates it, so the input is never
// opened as the destination, by whatever path; a destination that cannot be
// opened or written is a failure.

TEST(HostileFiles, DestinationsThatMustNotOrCannotBeWritten) {
    TempDir dir;
    const std::string tar = plainMember({.name = "a.txt", .size = 6}, "hello\n") + kEndOfArchive;
    writeFile(dir / "src.tar", tar);
    ASSERT_EQ(runKotar({"-c", dir / "src.tar", "-o", dir / "src.ktar"}).status, 0);
    const std::string ktar = readFile(dir / "src.ktar");
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);

    struct DestinationCase {
        const char* what;
        std::function<std::string(const std::string& input)> destination;
        bool openFails;  // else the writing fails
    };
    const std::vector<DestinationCase> cases = {
        {"the input itself", [](const std::string& in) { return in; }, true},
        {"the input by another path", [&](const std::string& in) { return dir / "sub/../" + in.substr(in.rfind('/') + 1); }, true},
        {"a hard link to the input",
         [&](const std::string& in) {
             unlink((dir / "hard").c_str());
             EXPECT_EQ(link(in.c_str(), (dir / "hard").c_str()), 0);
             return dir / "hard";
         },
         true},
        {"a symbolic link to the input",
         [&](const std::string& in) {
             unlink((dir / "soft").c_str());
             EXPECT_EQ(symlink(in.c_str(), (dir / "soft").c_str()), 0);
             return dir / "soft";
         },
         true},
        {"a file in a missing folder", [&](const std::string&) { return dir / "missing/out"; }, true},
        {"a folder", [&](const std::string&) { return dir / "sub"; }, true},
        {"a full device", [](const std::string&) { return std::string("/dev/full"); }, false},
        // As root a read-only mode stops no write; a file of /proc still refuses it.
        {"a read-only file",
         [&](const std::string&) {
             if (geteuid() == 0) return std::string("/proc/version");
             writeFile(dir / "readonly", "keep");
             chmod((dir / "readonly").c_str(), 0444);
             return dir / "readonly";
         },
         geteuid() != 0},
    };
    struct Mode {
        const char* option;
        std::string input;
        std::string contents;
    };
    for (const Mode& mode : {Mode{"-c", dir / "src.tar", tar}, Mode{"-x", dir / "src.ktar", ktar}}) {
        for (const DestinationCase& c : cases) {
            SCOPED_TRACE(std::string(mode.option) + " into " + c.what);
            const std::string destination = c.destination(mode.input);
            const bool regular = std::filesystem::is_regular_file(destination);  // not /dev/full
            const std::string before = regular ? readFile(destination) : "";
            const CommandResult result = runKotar({mode.option, mode.input, "-o", destination});
            EXPECT_EQ(result.err, c.openFails ? "Unable to open output file: " + destination + "\n" : kWriteFailure);
            EXPECT_EQ(result.status, 255);
            EXPECT_EQ(readFile(mode.input), mode.contents);
            if (c.openFails && regular) {
                EXPECT_EQ(readFile(destination), before);
            }
        }
    }
    EXPECT_FALSE(test::fileExists(dir / "missing"));
}

TEST(HostileFiles, ListingWithoutAStandardInput) {
    const CommandResult closed =
        test::runCommand({"/bin/sh", "-c", "exec \"$0\" -t <&-", test::kotarBinary()});
    EXPECT_EQ(closed.err, "Unable to open input file: stdin\n");
    EXPECT_EQ(closed.status, 255);
    EXPECT_EQ(closed.out, "");
}

// The lines are what the listing is for: standard output that takes none
// of them is a failure, not an empty success.
TEST(HostileFiles, ListingOntoAFullDevice) {
    TempDir dir;
    writeFile(dir / "in.tar", plainMember({.name = "a.txt", .size = 6}, "hello\n") + kEndOfArchive);
    ASSERT_EQ(runKotar({"-c", dir / "in.tar", "-o", dir / "in.ktar"}).status, 0);
    const CommandResult full =
        test::runCommand({"/bin/sh", "-c", "exec \"$0\" -t\"$1\" > /dev/full", test::kotarBinary(), dir / "in.ktar"});
    EXPECT_EQ(full.err, kWriteFailure);
    EXPECT_EQ(full.status, 255);
}

// A terminal holds no archive: the listing refuses it at once instead of
// waiting for typing (the timeout would end a wait with status 124).
TEST(HostileFiles, ListingRefusesATerminalAtOnce) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) GTEST_SKIP() << "no pseudo-terminal";
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
        close(master);
        GTEST_SKIP() << "no pseudo-terminal";
    }
    const std::string terminal = ptsname(master);
    const CommandResult result = test::runCommand({"timeout", "20", test::kotarBinary(), "-t"}, terminal);
    close(master);
    EXPECT_EQ(result.err, "Unable to open input file: stdin\n");
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "");
}

}  // namespace
}  // namespace kotar
