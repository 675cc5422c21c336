// libkotar: the damaged tables that the listing and the hostile-input tests
// use, cuts of a good archive, reader-only damage (sparse chains, long-name
// runs, data offsets), the refusals of kotar_map_text, and the text of every
// aligned executable of /usr/bin mapped from a real archive.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "kotar/reader.h"
#include "kotar/reader.hpp"
#include "lib/map_text.h"
#include "tests/support/damaged_tables.h"
#include "tests/support/indexed_builder.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::IndexedEntry;
using test::TempDir;
using test::indexedArchive;
using test::plainHeader;

// Opens `bytes` as an archive file; the status, the member names, and for
// each member the index of the member that kotar_find gives for its name.
struct Opened {
    int status = KOTAR_EINVAL;
    std::vector<std::string> names;
    std::vector<std::size_t> found;
};

Opened openBytes(const std::string& bytes) {
    TempDir dir;
    test::writeFile(dir / "a.ktar", bytes);
    Archive archive;
    Opened opened{archive.open((dir / "a.ktar").c_str()), {}};
    const std::size_t count = kotar_count(archive.get());
    for (std::size_t i = 0; i < count; ++i) opened.names.push_back(kotar_at(archive.get(), i)->name);
    for (const std::string& name : opened.names) {
        std::size_t at = 0;
        while (at < count && kotar_at(archive.get(), at) != kotar_find(archive.get(), name.c_str())) ++at;
        opened.found.push_back(at);
    }
    return opened;
}

TEST(Reader, DamagedTables) {
    for (const test::DamagedTable& c : test::damagedTables()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(openBytes(c.bytes).status, c.readerStatus);
    }
}

// A FIFO without a writer is refused, not waited on (the alarm ends a hang).
TEST(Reader, OpenRefusesAFifo) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    Archive archive;
    alarm(10);
    EXPECT_EQ(archive.open((dir / "fifo").c_str()), KOTAR_ENOTREGULAR);
    alarm(0);
}

// kotar_open_fd reads through a descriptor of its own: the caller's may be
// closed at once, and its position is neither used nor moved. One open for
// direct I/O (aligned reads of whole blocks only) is read all the same.
TEST(Reader, OpenFdOfEachKind) {
    TempDir dir;
    test::writeFile(dir / "a.ktar", indexedArchive({{.header = plainHeader({.name = "m", .size = 5}), .data = "hello"}}));
    struct Case {
        const char* name;
        int flags;
        int status;
        int spare = -1;  // the descriptors left to open, when limited
    };
    const Case cases[] = {
        {"for reading", O_RDONLY, KOTAR_OK},
        {"with no descriptor left to open", O_RDONLY, KOTAR_EOPEN, 0},
        {"for direct I/O", O_RDONLY | O_DIRECT, KOTAR_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int fd = open((dir / "a.ktar").c_str(), c.flags | O_CLOEXEC);
        if (fd < 0 && (c.flags & O_DIRECT) != 0) continue;  // a file system without direct I/O
        ASSERT_GE(fd, 0);
        lseek(fd, 777, SEEK_SET);
        Archive archive;
        {
            const std::optional<test::SpareDescriptors> spare =
                c.spare < 0 ? std::nullopt : std::make_optional<test::SpareDescriptors>(c.spare);
            EXPECT_EQ(archive.openFd(fd), c.status);
        }
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 777);
        close(fd);
        char data[8] = {};
        if (c.status == KOTAR_OK) {
            EXPECT_EQ(kotar_read(archive.get(), kotar_at(archive.get(), 0), 0, data, sizeof data), 5);
            EXPECT_STREQ(data, "hello");
        }
    }
}

TEST(Reader, SizeFields) {
    const std::string longName(511, 'n');
    for (const test::SizeField& size : test::sizeFields()) {
        SCOPED_TRACE(size.what);
        const auto edit = [&size](HeaderBlock& h) { test::putField(h, field::size, size.text); };
        const Opened member = openBytes(
            indexedArchive({{.header = plainHeader({.name = "member", .size = 512}, edit), .data = std::string(512, 'p')}}));
        const Opened named = openBytes(indexedArchive({{.header = plainHeader({.name = "@", .typeflag = 'L'}, edit),
                                                        .text = longName + '\0'},
                                                       {.header = plainHeader({.name = "cut"})}}));
        EXPECT_EQ(member.status, size.holds512 ? KOTAR_OK : KOTAR_EFIELD);
        EXPECT_EQ(named.status, size.holds512 ? KOTAR_OK : KOTAR_EFIELD);
        if (size.holds512) {
            EXPECT_EQ(named.names, std::vector<std::string>{longName});
        }
    }
}

// Cuts inside the table leave it without its zero block; later cuts leave
// the last member's data (whose header is checked before the table's end)
// outside the file.
TEST(Reader, TruncatedAnywhere) {
    const std::string archive =
        indexedArchive({{.header = plainHeader({.name = "@", .size = 600, .typeflag = 'L'}), .text = std::string(600, 'L')},
                        {.header = plainHeader({.name = "named"})},
                        {.header = plainHeader({.name = "two", .size = 3}), .data = "two"}});
    const std::size_t lastHeaderEnd = 5 * kBlockSize;
    const std::size_t dataEnd = archive.size() - kBlockSize + 3;  // "two", padded
    for (std::size_t cut = 0; cut <= archive.size(); cut += cut % kBlockSize == 0 ? 1 : 255) {
        SCOPED_TRACE(testing::Message() << "cut at " << cut);
        const int expected = cut < lastHeaderEnd ? KOTAR_ETRUNCATED : cut < dataEnd ? KOTAR_EDATA : KOTAR_OK;
        const Opened opened = openBytes(archive.substr(0, cut));
        EXPECT_EQ(opened.status, expected);
        if (expected == KOTAR_OK) {
            EXPECT_EQ(opened.names, (std::vector<std::string>{std::string(600, 'L'), "two"}));
        }
    }
}

// A table that takes several reads of the file's front, plain and as a kgz
// whose length is unknown until read: long names straddle the reads, and
// every member is there and found.
TEST(Reader, TableAcrossManyReads) {
    std::vector<IndexedEntry> entries;
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        names.push_back(std::string(700, static_cast<char>('a' + i % 26)) + std::to_string(i));
        entries.push_back({.header = plainHeader({.name = "@", .size = names.back().size(), .typeflag = 'L'}),
                           .text = names.back()});
        entries.push_back({.header = plainHeader({.name = "member", .size = 1}), .data = std::to_string(i % 10)});
    }
    TempDir dir;
    test::writeFile(dir / "a.ktar", indexedArchive(entries));
    test::shell("gzip -c " + test::shellQuoted(dir / "a.ktar") + " > " + test::shellQuoted(dir / "a.kgz"));
    for (const char* form : {"a.ktar", "a.kgz"}) {
        SCOPED_TRACE(form);
        Archive archive;
        ASSERT_EQ(archive.open((dir / form).c_str()), KOTAR_OK);
        ASSERT_EQ(kotar_count(archive.get()), names.size());
        for (std::size_t i = 0; i < names.size(); i += 37) {
            const kotar_member* member = kotar_find(archive.get(), names[i].c_str());
            ASSERT_EQ(member, kotar_at(archive.get(), i));
            char byte = 0;
            EXPECT_EQ(kotar_read(archive.get(), member, 0, &byte, 1), 1);
            EXPECT_EQ(byte, static_cast<char>('0' + i % 10));
        }
    }
}

TEST(Reader, TablesOnlyTheReaderChecks) {
    const auto header = [](const test::HeaderSpec& spec, std::uint32_t byte = 0, unsigned char value = 0) {
        return plainHeader(spec, [=](HeaderBlock& h) { if (byte != 0) h[byte] = value; });
    };
    const HeaderBlock sparse = header({.name = "sparse", .size = 3, .typeflag = 'S'}, kSparseExtendedAt, 1);
    HeaderBlock extension{};
    extension[kSparseExtensionExtendedAt] = 1;
    const std::string more = test::bytesOf(extension);
    const std::string last(kBlockSize, '\0');  // a zero extension block ends the chain, not the table
    const HeaderBlock plain = header({.name = "plain"});
    struct Case {
        const char* name;
        std::vector<IndexedEntry> entries;
        int status;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"sparse chain of two", {{.header = sparse, .text = more + last, .data = "abc"}, {.header = plain}},
         KOTAR_OK, {"sparse", "plain"}},
        {"sparse chain into the zero block", {{.header = sparse, .text = more}}, KOTAR_ETRUNCATED, {}},
        {"long name, then the zero block", {{.header = header({.name = "@", .size = 4, .typeflag = 'L'}), .text = "long"}},
         KOTAR_ELONGNAME, {}},
        {"long link name and long name folded",
         {{.header = header({.name = "@", .size = 4, .typeflag = 'K'}), .text = "link"},
          {.header = header({.name = "@", .size = 9, .typeflag = 'L'}), .text = std::string("name\0tail", 9)},
          {.header = header({.name = "cut", .typeflag = '2', .linkname = "cut"})}},
         KOTAR_OK, {"name"}},
        {"data from 2 GiB", {{.header = header({.name = "x", .size = 1}), .data = "x", .dataOffset = 0x80000000u}},
         KOTAR_EDATA, {}},
        {"mtime beyond 64 bits",
         {{.header = plainHeader({.name = "x"}, [](HeaderBlock& h) { test::putField(h, field::mtime, std::string(1, '\x80').append(11, '\x7f')); })}},
         KOTAR_EFIELD, {}},
        {"the later of two names is found", {{.header = header({.name = "x", .mode = 0600})}, {.header = header({.name = "x", .mode = 0700})}},
         KOTAR_OK, {"x", "x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Opened opened = openBytes(indexedArchive(c.entries));
        EXPECT_EQ(opened.status, c.status);
        EXPECT_EQ(opened.names, c.names);
        for (std::size_t i = 0; i < opened.names.size(); ++i) {
            const auto last = std::find(opened.names.rbegin(), opened.names.rend(), opened.names[i]);
            EXPECT_EQ(opened.found[i], static_cast<std::size_t>(opened.names.rend() - last - 1)) << opened.names[i];
        }
    }
}

// An aligned executable of five pages whose data is at 1024: its text at
// textOffset 3072 starts on a page. A kernel with larger pages maps whole
// ones, and must not be given the next member's bytes with the text: on
// 16 KiB and 64 KiB pages (given to the mapping as its page size), the data
// lies on such a page.
TEST(Reader, MapTextRefusals) {
    std::string data(5 * kPageSize, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
    struct Case {
        const char* name;
        char type;
        std::uint32_t textOffset;
        std::uint32_t textPgs;
        int status;
        std::uint64_t pageSize = 0;  // 0: the running system's
        std::uint32_t dataAt = 1024;
    };
    const Case cases[] = {
        {"mapped", '7', 3072, 2, KOTAR_OK},
        {"not aligned", '0', 3072, 2, KOTAR_ENOTALIGNED},
        {"no text pages", '7', 3072, 0, KOTAR_ENOTEXT},
        {"past the data", '7', 3072, 5, KOTAR_ETEXTRANGE},
        {"far past the data", '7', 0xFFFFFFFFu, 0xFFFFFFFFu, KOTAR_ETEXTRANGE},
        {"off a page", '7', 0, 2, KOTAR_EPAGEOFFSET},
        {"16 KiB pages, all within the data", '7', 0, 4, KOTAR_OK, 16384, 16384},
        {"16 KiB pages, the last one past the data", '7', 0, 5, KOTAR_ETEXTRANGE, 16384, 16384},
        {"16 KiB pages, off a page", '7', 3072, 2, KOTAR_EPAGEOFFSET, 16384},
        {"64 KiB pages, one text page", '7', 0, 1, KOTAR_ETEXTRANGE, 65536, 65536},
        {"64 KiB pages, the whole data", '7', 0, 5, KOTAR_ETEXTRANGE, 65536, 65536},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const HeaderBlock header = plainHeader({.name = "exe", .mode = 0755, .size = data.size(), .typeflag = c.type},
                                               [&c](HeaderBlock& h) {
                                                   writeExtensionField(h, kTextOffsetAt, c.textOffset);
                                                   writeExtensionField(h, kTextPgsAt, c.textPgs);
                                               });
        // The data where the header says, then bytes as another member's data
        // would follow it.
        std::string bytes = indexedArchive({{.header = header, .data = data, .dataOffset = c.dataAt}});
        bytes.resize(c.dataAt);
        bytes += data + std::string(65536, 'N');
        test::writeFile(dir / "a.ktar", bytes);
        const int fd = open((dir / "a.ktar").c_str(), O_RDONLY | O_CLOEXEC);
        Archive archive;
        ASSERT_EQ(archive.openFd(fd), KOTAR_OK);
        close(fd);  // the archive reads through its own descriptor
        const kotar_member* exe = kotar_find(archive.get(), "exe");
        ASSERT_NE(exe, nullptr);
        MappedText text;
        const void* address = nullptr;
        std::size_t length = 0;
        if (c.pageSize == 0) {
            EXPECT_EQ(text.map(archive.get(), exe, false), c.status);
            address = text.data();
            length = text.size();
        } else {
            EXPECT_EQ(mapText(archive.get(), exe, 0, c.pageSize, &address, &length), c.status);
        }
        if (c.status == KOTAR_OK) {
            ASSERT_EQ(length, c.textPgs * kPageSize);
            EXPECT_EQ(std::memcmp(address, data.data() + c.textOffset, length), 0);
        }
        if (c.pageSize != 0 && address != nullptr) kotar_unmap_text(address, length);
        // Reads stop at the end of the data.
        char tail[16];
        EXPECT_EQ(kotar_read(archive.get(), exe, data.size() - 5, tail, sizeof tail), 5);
        EXPECT_EQ(std::string(tail, 5), data.substr(data.size() - 5));
        EXPECT_EQ(kotar_read(archive.get(), exe, data.size() + 1, tail, sizeof tail), 0);
    }
}

// A real archive: the text mapped for every aligned executable of /usr/bin
// is the file's own bytes, and every member is found by its name.
TEST(Reader, UsrBin) {
    TempDir dir;
    test::shell("tar --format=gnu -C /usr -cf " + test::shellQuoted(dir / "bin.tar") + " bin 2>/dev/null; test -s " +
                test::shellQuoted(dir / "bin.tar"));
    const test::CommandResult create = test::runKotar({"-c", dir / "bin.tar", "-o", dir / "bin.ktar"});
    ASSERT_EQ(create.status, 0) << create.err;
    unlink((dir / "bin.tar").c_str());
    Archive archive;
    ASSERT_EQ(archive.open((dir / "bin.ktar").c_str()), KOTAR_OK);
    std::size_t mapped = 0;
    for (std::size_t i = 0; i < kotar_count(archive.get()); ++i) {
        const kotar_member* member = kotar_at(archive.get(), i);
        SCOPED_TRACE(member->name);
        const kotar_member* found = kotar_find(archive.get(), member->name);
        ASSERT_NE(found, nullptr);
        EXPECT_TRUE(found >= member && std::strcmp(found->name, member->name) == 0);
        if (!member->aligned || member->text_pages == 0) continue;
        MappedText text;
        ASSERT_EQ(text.map(archive.get(), member, true), KOTAR_OK);
        const std::string original = test::readFile("/usr/" + std::string(member->name));
        ASSERT_EQ(original.size(), member->size);
        EXPECT_EQ(std::memcmp(text.data(), original.data() + member->text_offset, text.size()), 0);
        ++mapped;
    }
    EXPECT_GT(mapped, 10u);
}

}  // namespace
}  // namespace kotar
