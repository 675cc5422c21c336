// libkotar on compressed indexed archives: a kgz read through checkpoints
// (one gzip member or two, reads in reverse order and at scattered offsets,
// from several threads at once), zstd and xz through a cache file, and
// damaged compressed data, which fails the read that meets it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "kotar/reader.h"
#include "kotar/reader.hpp"
#include "lib/gzip_random_access.h"
#include "tests/support/failing_allocations.h"
#include "tests/support/indexed_builder.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::TempDir;
using test::shellQuoted;

// Text that compresses, but not to nothing: words drawn by a fixed generator.
std::string memberData(std::size_t size, std::uint32_t seed) {
    static const char* const kWords[] = {"header ", "table ", "member ", "offset ", "page\n", "kotar ", "data ", "zero "};
    std::string data;
    data.reserve(size + 8);
    std::uint32_t state = seed * 2654435761u + 1;
    while (data.size() < size) {
        state = state * 1103515245u + 12345u;
        data += kWords[(state >> 16) % 8];
        if ((state >> 8) % 5 == 0) data += std::to_string(state % 100000);
    }
    data.resize(size);
    return data;
}

// Members of 1 byte to 5 MiB: about 14 MiB of data, so that a kgz gets
// checkpoints and reads reach back across them. The last is large enough
// for one read of it to take the stream's end straight into the caller's
// buffer.
std::vector<std::string> memberContents() {
    std::vector<std::string> contents;
    const std::size_t sizes[] = {1, 5u << 20, 700000, 3u << 20, 0, 4096, 511, (4u << 20) + 17};
    std::uint32_t seed = 1;
    for (const std::size_t size : sizes) contents.push_back(memberData(size, seed++));
    return contents;
}

std::string buildArchive(const std::vector<std::string>& contents) {
    std::vector<test::IndexedEntry> entries;
    for (std::size_t i = 0; i < contents.size(); ++i) {
        entries.push_back({.header = test::plainHeader({.name = std::string("m").append(std::to_string(i)), .size = contents[i].size()}),
                           .data = contents[i]});
    }
    // Without padding after the last member's data, as creation writes it:
    // a read to the end of that member reaches the end of the stream.
    std::string archive = test::indexedArchive(entries);
    archive.resize(archive.size() - (test::padded(contents.back()).size() - contents.back().size()));
    return archive;
}

struct Form {
    const char* name;
    const char* compress;  // sh command from $1 (the ktar) to $2
};
const Form kForms[] = {
    {"ktar", "cp \"$1\" \"$2\""},
    {"kgz", "gzip -1 -c \"$1\" > \"$2\""},
    {"kgz of two gzip members", "head -c 6000000 \"$1\" | gzip -c > \"$2\" && tail -c +6000001 \"$1\" | gzip -c >> \"$2\""},
    {"kgz made by igzip", "igzip -c \"$1\" > \"$2\""},
    {"zstd", "zstd -q -1 -c \"$1\" > \"$2\""},
    {"xz", "xz -0 -T1 -c \"$1\" > \"$2\""},
};

bool haveTool(const char* command) {
    const std::string tool = std::string(command).substr(0, std::string(command).find(' '));
    return test::runCommand({"sh", "-c", "command -v " + tool}).status == 0;
}

// Reads [offset, offset + count) of a member, in pieces of up to `piece`.
std::string readRange(const kotar_archive* archive, const kotar_member* member, std::uint64_t offset, std::size_t count,
                      std::size_t piece) {
    std::string out;
    std::vector<char> buffer(piece);
    while (out.size() < count) {
        const long long got = kotar_read(archive, member, offset + out.size(), buffer.data(),
                                         std::min(piece, count - out.size()));
        if (got <= 0) break;
        out.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return out;
}

// The bytes this process has read from files so far (rchar).
std::uint64_t bytesReadSoFar() {
    const std::string io = test::readFile("/proc/self/io");
    const std::size_t at = io.find("rchar: ");
    return at == std::string::npos ? 0 : std::stoull(io.substr(at + 7));
}

// Opens the archive in `form`, made from `ktar`, into `archive`.
void openForm(const Form& form, const TempDir& dir, Archive& archive) {
    test::runCommand({"sh", "-c", std::string(form.compress), "sh", dir / "a.ktar", dir / "a.form"});
    ASSERT_EQ(archive.open((dir / "a.form").c_str()), KOTAR_OK);
}

TEST(CompressedReader, EveryFormReadsBackInAnyOrder) {
    const std::vector<std::string> contents = memberContents();
    TempDir dir;
    test::writeFile(dir / "a.ktar", buildArchive(contents));
    for (const Form& form : kForms) {
        SCOPED_TRACE(form.name);
        if (!haveTool(form.compress)) {
            std::fprintf(stderr, "note: %s: the compressor is missing; skipped\n", form.name);
            continue;
        }
        Archive archive;
        openForm(form, dir, archive);
        ASSERT_EQ(kotar_count(archive.get()), contents.size());
        // The last member first, then back to the first; pieces of odd sizes.
        for (std::size_t i = contents.size(); i-- > 0;) {
            const kotar_member* member = kotar_at(archive.get(), i);
            EXPECT_TRUE(readRange(archive.get(), member, 0, contents[i].size() + 10, 65537) == contents[i]) << i;
        }
        // Scattered reads, each from a place the stream has already passed,
        // and a read of nothing, into no buffer, just after a byte is read.
        std::uint32_t state = 7;
        for (int n = 0; n < 40; ++n) {
            state = state * 1103515245u + 12345u;
            const std::size_t i = (state >> 8) % contents.size();
            if (contents[i].empty()) continue;
            const std::size_t offset = (state >> 4) % contents[i].size();
            const std::size_t count = std::min<std::size_t>(contents[i].size() - offset, 1 + (state % 300000));
            EXPECT_TRUE(readRange(archive.get(), kotar_at(archive.get(), i), offset, count, 4096) ==
                        contents[i].substr(offset, count))
                << i << " at " << offset;
            char byte = 0;
            EXPECT_EQ(kotar_read(archive.get(), kotar_at(archive.get(), i), offset, &byte, 1), 1);
            EXPECT_EQ(kotar_read(archive.get(), kotar_at(archive.get(), i), offset + 1, nullptr, 0), 0);
        }
        // Only an uncompressed or cached archive has a descriptor to map or splice.
        int fd = -1;
        unsigned long long offset = 0;
        const bool gzip = std::string(form.name).starts_with("kgz");
        EXPECT_EQ(kotar_data_fd(archive.get(), kotar_at(archive.get(), 1), &fd, &offset),
                  gzip ? KOTAR_ECOMPRESSED : KOTAR_OK);
        if (!gzip) {
            std::string direct(16, '\0');
            ASSERT_EQ(pread(fd, direct.data(), direct.size(), static_cast<off_t>(offset)), 16);
            EXPECT_EQ(direct, contents[1].substr(0, 16));
        }
    }
}

// Several threads read a kgz at once, each its own members from the end.
TEST(CompressedReader, ConcurrentReadersOfOneKgz) {
    const std::vector<std::string> contents = memberContents();
    TempDir dir;
    test::writeFile(dir / "a.ktar", buildArchive(contents));
    Archive archive;
    openForm(kForms[1], dir, archive);
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> readers;
    for (std::size_t t = 0; t < wrong.size(); ++t) {
        readers.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (std::size_t i = contents.size(); i-- > 0;) {
                    if ((i + t + round) % 2 != 0) continue;
                    if (readRange(archive.get(), kotar_at(archive.get(), i), 0, contents[i].size(), 131072) !=
                        contents[i]) {
                        ++wrong[t];
                    }
                }
            }
        });
    }
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong, std::vector<int>(wrong.size(), 0));
}

// Once a kgz is open, a read needs no memory but what it can do without,
// and a lookup without the memory for its index finds nothing: no
// exception leaves the C interface (gtest would report one).
TEST(CompressedReader, ReadsNeedNoMemoryOnceOpen) {
    const std::vector<std::string> contents = memberContents();
    TempDir dir;
    test::writeFile(dir / "a.ktar", buildArchive(contents));
    Archive archive;
    openForm(kForms[1], dir, archive);
    std::vector<std::string> read(contents.size(), std::string(5u << 20, '\0'));
    const kotar_member* found = kotar_at(archive.get(), 0);
    {
        const test::FailingAllocations failing;
        for (std::size_t i = 0; i < contents.size(); ++i) {  // across checkpoints, to the stream's end
            read[i].resize(static_cast<std::size_t>(
                std::max(0ll, kotar_read(archive.get(), kotar_at(archive.get(), i), 0, read[i].data(), read[i].size()))));
        }
        found = kotar_find(archive.get(), "m0");
    }
    EXPECT_TRUE(read == contents);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(kotar_find(archive.get(), "m0"), kotar_at(archive.get(), 0));
}

// Memory or descriptors that run out anywhere in kotar_open of an archive
// decompressed into its cache: the open fails with a status that says so,
// or succeeds, and leaves no descriptor behind. (An exception that escaped
// a decoding thread would end the test.)
TEST(CompressedReader, OpenShortOfMemoryOrDescriptorsLeavesNothingBehind) {
    TempDir dir;
    test::writeFile(dir / "a.ktar", buildArchive(memberContents()));
    struct Case {
        const char* name;
        const char* make;  // from the ktar $1 to $2
        bool descriptors;  // short of descriptors, else of memory
    };
    const Case cases[] = {
        {"zstd", kForms[4].compress, false},
        {"xz of blocks that threads decode", "xz -0 -T2 --block-size=1MiB -c \"$1\" > \"$2\"", false},
        {"zstd, short of descriptors", kForms[4].compress, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::runCommand({"sh", "-c", c.make, "sh", dir / "a.ktar", dir / "a.form"});
        const std::string path = dir / "a.form";
        const std::size_t descriptors = test::filesIn("/proc/self/fd");
        int status = KOTAR_ENOMEM;
        for (int left = 0; status != KOTAR_OK && left < 1000; ++left) {
            {
                Archive archive;
                if (c.descriptors) {
                    const test::SpareDescriptors spare(left);
                    status = archive.open(path.c_str());
                } else {
                    const test::FailingAllocations failing(left);
                    status = archive.open(path.c_str());
                }
            }
            const bool said = c.descriptors ? status == KOTAR_EOPEN || status == KOTAR_EREAD || status == KOTAR_ECACHE
                                            : status == KOTAR_ENOMEM;
            EXPECT_TRUE(status == KOTAR_OK || said) << kotar_strerror(status) << " with " << left << " left";
            EXPECT_EQ(test::filesIn("/proc/self/fd"), descriptors) << "with " << left << " left";
        }
        EXPECT_EQ(status, KOTAR_OK);
    }
}

// A checkpoint of text stays within the 32 KiB window it stands for, Huffman
// tables and all, so that a kgz's checkpoints cost less than its windows.
// One is kept every 4 MiB of the stream however it is read: a single read
// of it whole (of zeros, which inflate far beyond the input taken at a time)
// leaves as many as reads in pieces do.
TEST(CompressedReader, CheckpointsStayWithinAWindowEach) {
    TempDir dir;
    test::writeFile(dir / "a.ktar", buildArchive(memberContents()));
    struct Case {
        const char* name;
        const char* make;  // from the ktar $1 to $2
        std::size_t piece;
        std::size_t checkpoints;  // at least
    };
    const Case cases[] = {
        {"text in pieces", kForms[1].compress, 1 << 20, 3},
        {"64 MiB of zeros in one read", "head -c 67108864 /dev/zero | gzip -6 > \"$2\"", 64 << 20, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::runCommand({"sh", "-c", c.make, "sh", dir / "a.ktar", dir / "a.kgz"});
        const int fd = ::open((dir / "a.kgz").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        {
            GzipRandomAccess stream(fd);
            std::vector<unsigned char> piece(c.piece);
            std::size_t got = 0;
            for (std::uint64_t at = 0;
                 stream.read(piece.data(), piece.size(), at, got) == GzipRandomAccess::Result::done && got > 0;
                 at += got) {
            }
            EXPECT_GE(stream.checkpoints(), c.checkpoints);
            EXPECT_LE(stream.checkpointBytes(), stream.checkpoints() * 32 * 1024);
        }
        ::close(fd);
    }
}

// Damage in compressed data: the table still opens from the front, reads
// before the damage succeed, a read that meets it fails, and the archive
// stays usable. A zstd or xz archive is decompressed whole at open, so its
// damage refuses the open, as does a file size limit that its cache would
// pass (refused, not met with SIGXFSZ, which would end the test).
TEST(CompressedReader, DamagedDataFailsTheReadThatMeetsIt) {
    const std::vector<std::string> contents = memberContents();
    TempDir dir;
    test::writeFile(dir / "a.ktar", buildArchive(contents));
    struct Case {
        const char* name;
        const char* make;  // from the ktar $1 to $2
        int openStatus;
        long long lastRead;  // reading the last member with data
        int rereads = 0;     // reads of it again, which read nothing more of the file
        rlim_t sizeLimit = 0;  // the largest file the open may write; 0: as it is
    };
    const Case cases[] = {
        {"kgz with bytes changed in the middle",
         "gzip -1 -c \"$1\" > \"$2\" && printf 'XXXXXXXXXXXXXXXX' | dd of=\"$2\" bs=1 seek=$(( $(stat -c %s \"$2\") / 2 )) conv=notrunc 2>/dev/null",
         KOTAR_OK, KOTAR_EDAMAGED},
        {"kgz cut in the middle", "gzip -1 -c \"$1\" | head -c $(( $(stat -c %s \"$1\") / 8 )) > \"$2\"", KOTAR_OK,
         KOTAR_EDAMAGED},
        {"kgz cut in the middle, read past the cut again", "gzip -1 -c \"$1\" | head -c $(( $(stat -c %s \"$1\") / 8 )) > \"$2\"",
         KOTAR_OK, KOTAR_EDAMAGED, 20},
        {"kgz cut a few KiB after its table", "gzip -1 -c \"$1\" | head -c 3000 > \"$2\"", KOTAR_OK, KOTAR_EDAMAGED},
        // A stored block of the first 12000 bytes, then a block of the
        // invalid type 3, which inflate meets while it inflates ahead of a
        // small read.
        {"kgz with an invalid block a few KiB after its table",
         "printf '\\037\\213\\010\\0\\0\\0\\0\\0\\0\\377\\0\\340\\056\\037\\321' > \"$2\" && head -c 12000 \"$1\" >> \"$2\" && "
         "printf '\\006' >> \"$2\"",
         KOTAR_OK, KOTAR_EDAMAGED},
        {"kgz with its trailer's CRC changed",
         "gzip -1 -c \"$1\" > \"$2\" && printf 'XXXX' | dd of=\"$2\" bs=1 seek=$(( $(stat -c %s \"$2\") - 8 )) conv=notrunc 2>/dev/null",
         KOTAR_OK, KOTAR_EDAMAGED},
        {"zstd cut in the middle", "zstd -q -c \"$1\" | head -c 100000 > \"$2\"", KOTAR_EDAMAGED, 0},
        {"xz cut in the middle", "xz -0 -T1 -c \"$1\" | head -c 100000 > \"$2\"", KOTAR_EDAMAGED, 0},
        {"zstd whose cache would pass the file size limit", "zstd -q -c \"$1\" > \"$2\"", KOTAR_ECACHE, 0, 0, 1 << 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::shell("sh -c " + shellQuoted(c.make) + " sh " + shellQuoted(dir / "a.ktar") + " " + shellQuoted(dir / "bad"));
        Archive archive;
        {
            const test::FileSizeLimit limit(c.sizeLimit);
            ASSERT_EQ(archive.open((dir / "bad").c_str()), c.openStatus);
        }
        if (c.openStatus != KOTAR_OK) continue;
        const std::size_t last = contents.size() - 1;
        std::vector<char> buffer(contents[last].size());
        // The CRC is checked only at the end, so only the member there fails,
        // read in one piece or in small ones.
        EXPECT_EQ(kotar_read(archive.get(), kotar_at(archive.get(), last), 0, buffer.data(), buffer.size()), c.lastRead);
        const std::uint64_t before = bytesReadSoFar();
        for (int i = 0; i < c.rereads; ++i) {
            EXPECT_EQ(kotar_read(archive.get(), kotar_at(archive.get(), last), 4096, buffer.data(), 4096), KOTAR_EDAMAGED);
        }
        // (Reading /proc/self/io itself counts a few hundred bytes.)
        if (c.rereads > 0) {
            EXPECT_LT(bytesReadSoFar() - before, 4096u);
        }
        EXPECT_TRUE(readRange(archive.get(), kotar_at(archive.get(), 0), 0, 1, 1) == contents[0]);
        EXPECT_EQ(kotar_read(archive.get(), kotar_at(archive.get(), last), contents[last].size() - 4096, buffer.data(), 4096),
                  c.lastRead);
    }
}

}  // namespace
}  // namespace kotar
