#include "input/archive_input.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::FileSizeLimit;
using test::TempDir;

// The stream is a few MB of pseudo-random bytes, not a multiple of any block
// size, so every read and seek lands on odd positions of the compressed form.
constexpr std::size_t kDataSize = 3 * 1024 * 1024 + 123;
constexpr std::size_t kFirstMemberSize = 1024 * 1024 + 7;  // of the multi-member gzip
constexpr std::int64_t KiB = 1024;

enum class Kind { plain, gzip, multiMemberGzip, multiFrameZstd, multiStreamXz };

std::string kindName(Kind kind) {
    switch (kind) {
        case Kind::plain: return "plain";
        case Kind::gzip: return "gzip";
        case Kind::multiMemberGzip: return "multiMemberGzip";
        case Kind::multiFrameZstd: return "multiFrameZstd";
        case Kind::multiStreamXz: return "multiStreamXz";
    }
    return "?";
}

class ArchiveInputTest : public testing::TestWithParam<Kind> {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        data_ = new std::string(kDataSize, '\0');
        std::mt19937 random(20240229);
        for (char& c : *data_) c = static_cast<char>(random() >> 24);
        // Some stretches that compress well, so the compressed and the
        // uncompressed positions drift apart unevenly.
        for (std::size_t i = 500000; i < 700000; ++i) (*data_)[i] = static_cast<char>(i % 7);

        test::writeFile(path("data"), *data_);
        test::writeFile(path("first"), data_->substr(0, kFirstMemberSize));
        test::writeFile(path("second"), data_->substr(kFirstMemberSize));
        test::shell("cd '" + dir_->path() + "' && gzip -c data > data.gz && gzip -c first > first.gz && " +
                    "gzip -c second > second.gz && cat first.gz second.gz > multi.gz && " +
                    "zstd -q -c first > multi.zst && zstd -q -c second >> multi.zst && " +
                    "xz -c first > multi.xz && xz -c second >> multi.xz");
    }
    static void TearDownTestSuite() {
        delete data_;
        delete dir_;
        data_ = nullptr;
        dir_ = nullptr;
    }

    static std::string path(const std::string& name) { return *dir_ / name; }

    static std::string inputPath() {
        switch (GetParam()) {
            case Kind::plain: return path("data");
            case Kind::gzip: return path("data.gz");
            case Kind::multiMemberGzip: return path("multi.gz");
            case Kind::multiFrameZstd: return path("multi.zst");
            case Kind::multiStreamXz: return path("multi.xz");
        }
        return {};
    }

    static std::unique_ptr<ArchiveInput> openInput() {
        auto input = std::make_unique<ArchiveInput>();
        EXPECT_EQ(input->open(inputPath().c_str()), 0) << inputPath();
        input->decodeOnItsOwnThread();  // as KOTAR_DECODING_THREAD says
        return input;
    }

    static const std::string& data() { return *data_; }

    // Reads `count` bytes at the current position and checks that they are
    // the stream's bytes there, cut short only by the end of the stream.
    static void expectRead(ArchiveInput& input, std::size_t count) {
        const std::int64_t at = input.tell();
        ASSERT_GE(at, 0);
        const std::size_t available =
            at >= static_cast<std::int64_t>(kDataSize) ? 0 : kDataSize - static_cast<std::size_t>(at);
        const std::size_t expected = std::min(count, available);
        std::string buffer(count, '\x5a');
        const std::size_t got = input.read(buffer.data(), count);
        ASSERT_EQ(got, expected) << "read of " << count << " at " << at;
        EXPECT_TRUE(buffer.compare(0, got, data(), static_cast<std::size_t>(std::min<std::int64_t>(at, kDataSize)), got) == 0)
            << "wrong bytes in a read of " << count << " at " << at;
        EXPECT_EQ(input.tell(), at + static_cast<std::int64_t>(got));
    }

    // Reads sequentially from the current position up to `end`, in chunks
    // of `chunk` bytes, as the listing and creation do.
    static void readUpTo(ArchiveInput& input, std::int64_t end, std::size_t chunk = 4096) {
        while (input.tell() < end && !testing::Test::HasFatalFailure()) {
            expectRead(input, static_cast<std::size_t>(std::min<std::int64_t>(chunk, end - input.tell())));
        }
    }

private:
    static TempDir* dir_;
    static std::string* data_;
};

TempDir* ArchiveInputTest::dir_ = nullptr;
std::string* ArchiveInputTest::data_ = nullptr;

TEST_P(ArchiveInputTest, SequentialReadsDeliverTheStream) {
    struct Case {
        std::size_t chunk;
        std::size_t end;
    };
    const Case cases[] = {{std::size_t{1} << 20, kDataSize}, {512, kDataSize}, {4093, kDataSize},
                          {300000, kDataSize}, {1, 20000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "chunk " << c.chunk);
        auto input = openInput();
        readUpTo(*input, static_cast<std::int64_t>(c.end), c.chunk);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(input->tell(), static_cast<std::int64_t>(c.end));
        if (c.end == kDataSize) {
            char byte;
            EXPECT_EQ(input->read(&byte, 1), 0u);
            EXPECT_EQ(input->tell(), static_cast<std::int64_t>(kDataSize));
        }
    }
}

TEST_P(ArchiveInputTest, OneReadLargerThanTheStreamComesUpShort) {
    auto input = openInput();
    expectRead(*input, 100);
    expectRead(*input, kDataSize + 5000);  // delivers the rest, then stops
    EXPECT_EQ(input->tell(), static_cast<std::int64_t>(kDataSize));
}

// Seeks from a stream position reached by sequential reading, back and
// forth by distances around the recent-bytes window (at least 64 KiB kept
// behind, 256 KiB in all), then reads across the old position.
TEST_P(ArchiveInputTest, SeeksAroundTheRecentWindow) {
    const std::int64_t reached = 1024 * KiB + 300001;
    const std::int64_t distances[] = {1,          511,        4096,       16 * KiB,  64 * KiB - 1, 64 * KiB,
                                      64 * KiB + 1, 100 * KiB, 200 * KiB, 256 * KiB - 1, 256 * KiB,
                                      256 * KiB + 1, 300 * KiB, 1024 * KiB, reached};
    for (const std::int64_t distance : distances) {
        for (const int whence : {SEEK_SET, SEEK_CUR}) {
            SCOPED_TRACE(testing::Message() << "back " << distance << (whence == SEEK_SET ? " SEEK_SET" : " SEEK_CUR"));
            auto input = openInput();
            readUpTo(*input, reached);
            ASSERT_FALSE(HasFatalFailure());
            const std::int64_t target = reached - distance;
            EXPECT_EQ(input->seek(whence == SEEK_SET ? target : -distance, whence), target);
            EXPECT_EQ(input->tell(), target);
            // One read that runs over the old stream position into bytes not
            // read before, then more reads to check the stream stayed in step.
            expectRead(*input, static_cast<std::size_t>(distance) + 20000);
            readUpTo(*input, input->tell() + 100000, 7000);
        }
    }
}

TEST_P(ArchiveInputTest, SeeksForwardNearAndFar) {
    struct Case {
        std::int64_t from;     // position reached by reading first
        std::int64_t forward;  // then a relative seek forward by this much
    };
    const Case cases[] = {
        {0, 1},
        {0, 512},
        {1000, 16 * KiB},
        {1000, 256 * KiB},
        {1000, 256 * KiB + 1},
        {70000, 1024 * KiB},
        {0, static_cast<std::int64_t>(kDataSize) - 10},  // to ten bytes before the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "from " << c.from << " forward " << c.forward);
        auto input = openInput();
        readUpTo(*input, c.from);
        EXPECT_EQ(input->seek(c.forward, SEEK_CUR), c.from + c.forward);
        expectRead(*input, 5000);
        // Back a little after a far move: the bytes before the target were
        // never read, so they must still come out right.
        const std::int64_t back = input->tell() - 3000;
        EXPECT_EQ(input->seek(back, SEEK_SET), back);
        expectRead(*input, 1000);
    }
}

TEST_P(ArchiveInputTest, SeeksAfterTheEndOfTheStream) {
    auto input = openInput();
    readUpTo(*input, kDataSize, 1 << 20);  // reads up to and hits the end
    char byte;
    EXPECT_EQ(input->read(&byte, 1), 0u);

    // Past the end: the seek succeeds, the read delivers nothing.
    const std::int64_t pastEnd = static_cast<std::int64_t>(kDataSize) + 1000;
    EXPECT_EQ(input->seek(pastEnd, SEEK_SET), pastEnd);
    EXPECT_EQ(input->read(&byte, 1), 0u);
    EXPECT_EQ(input->tell(), pastEnd);

    // Back from there: within the window, far back, and to the start.
    for (const std::int64_t target : {static_cast<std::int64_t>(kDataSize) - 100, std::int64_t{1500000},
                                      std::int64_t{0}, static_cast<std::int64_t>(kDataSize) - 1}) {
        SCOPED_TRACE(testing::Message() << "to " << target);
        EXPECT_EQ(input->seek(target, SEEK_SET), target);
        expectRead(*input, 4096);
    }
}

TEST_P(ArchiveInputTest, NegativeTargetsFailAndLeaveThePositionAlone) {
    auto input = openInput();
    readUpTo(*input, 10000);
    EXPECT_EQ(input->seek(-1, SEEK_SET), -1);
    EXPECT_EQ(input->seek(-10001, SEEK_CUR), -1);
    EXPECT_EQ(input->seek(INT64_MIN, SEEK_CUR), -1);
    EXPECT_EQ(input->tell(), 10000);
    expectRead(*input, 100);
    // Exactly back to 0 is allowed.
    EXPECT_EQ(input->seek(-10100, SEEK_CUR), 0);
    expectRead(*input, 100);
}

TEST_P(ArchiveInputTest, BackToTheStartFromAnywhere) {
    auto input = openInput();
    for (const std::int64_t reached : {std::int64_t{5000}, std::int64_t{2000000}, static_cast<std::int64_t>(kDataSize)}) {
        SCOPED_TRACE(testing::Message() << "after reading to " << reached);
        readUpTo(*input, reached, 65536);
        char byte;
        if (reached == static_cast<std::int64_t>(kDataSize)) {
            EXPECT_EQ(input->read(&byte, 1), 0u);
        }
        EXPECT_EQ(input->seek(0, SEEK_SET), 0);
        EXPECT_EQ(input->tell(), 0);
        expectRead(*input, 3000);
        EXPECT_EQ(input->seek(0, SEEK_SET), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, ArchiveInputTest,
                         testing::Values(Kind::plain, Kind::gzip, Kind::multiMemberGzip, Kind::multiFrameZstd,
                                         Kind::multiStreamXz),
                         [](const testing::TestParamInfo<Kind>& info) { return kindName(info.param); });

// Reads in `chunk`-byte pieces up to the first short read.
std::string readAll(ArchiveInput& input, std::size_t chunk = 65536) {
    std::string all;
    std::string buffer(chunk, '\0');
    for (std::size_t got = chunk; got == chunk;) {
        got = input.read(buffer.data(), chunk);
        all.append(buffer, 0, got);
    }
    return all;
}

// Alternately 512 bytes read and up to 200,000 lent, to the end.
std::string readAllLent(ArchiveInput& input) {
    std::string all;
    char block[512];
    for (;;) {
        const std::size_t got = input.read(block, sizeof block);
        all.append(block, got);
        if (got < sizeof block) return all;
        const unsigned char* bytes = nullptr;
        const std::size_t lent = input.view(200000, bytes);
        if (lent == 0) return all;
        all.append(reinterpret_cast<const char*>(bytes), lent);
    }
}

// Real archives: a GNU tar of some of this machine's programs, compressed by
// the usual tools, read from a file and from a pipe, and converted.
class CompressedTarTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        test::shell("cd " + test::shellQuoted(dir_->path()) +
                    " && mkdir bin && cp /usr/bin/bash /usr/bin/ls /usr/bin/tar /usr/bin/gzip /usr/bin/cmp bin/ &&"
                    " tar --format=gnu -cf bin.tar bin && " + test::shellQuoted(test::kotarBinary()) +
                    " -c bin.tar -o bin.ktar && mkdir large && seq 3000000 > large/numbers && cp -r bin large/ &&"
                    " tar --format=gnu -cf large.tar large && " + test::shellQuoted(test::kotarBinary()) +
                    " -c large.tar -o large.ktar");
        tar_ = new std::string(test::readFile(*dir_ / "bin.tar"));
    }
    static void TearDownTestSuite() {
        delete tar_;
        delete dir_;
    }
    // Runs `command` in the folder; its output becomes the file `name`.
    static std::string make(const std::string& name, const std::string& command) {
        test::shell("cd " + test::shellQuoted(dir_->path()) + " && { " + command + "; } > " + name);
        return *dir_ / name;
    }
    static TempDir* dir_;
    static std::string* tar_;
};

TempDir* CompressedTarTest::dir_ = nullptr;
std::string* CompressedTarTest::tar_ = nullptr;

// Every compressed form converts in both directions to the same bytes as
// the plain forms, from files and through pipes at both ends.
TEST_F(CompressedTarTest, EveryCompressionGivesTheTarFromAFileAndAPipe) {
    const auto halves = [](const std::string& compress) {
        return "head -c 1000000 FILE | " + compress + "; tail -c +1000001 FILE | " + compress;
    };
    const struct {
        const char* what;
        std::string command;  // compresses FILE to its standard output
        rlim_t fileSizeLimit = 0;  // for every file that kotar writes, when not 0
        // A tar of some 25 MiB: a gzip member in two parts then lets its
        // second part's file go behind the data's copy, or as delivered.
        bool large = false;
    } cases[] = {
        {"gzip -1", "gzip -1 -c FILE"},
        {"gzip -9", "gzip -9 -c FILE"},
        {"pigz", "pigz -c FILE"},
        {"igzip", "igzip -c FILE"},
        {"two gzip members", halves("gzip -c")},
        {"two zstd frames", halves("zstd -q -c")},
        // A skippable frame (magic 0x184D2A50, 4 bytes of payload) first.
        {"zstd after a skippable frame", "printf '\\120\\052\\115\\030\\004\\000\\000\\000abcd'; zstd -q -c FILE"},
        {"xz, 4 NUL bytes of stream padding", "xz -c FILE; head -c 4 /dev/zero"},
        {"xz", "xz -c FILE"},
        {"two xz streams", halves("xz -2 -c")},
        {"bzip2", "bzip2 -c FILE"},
        {"two bzip2 streams", halves("bzip2 -1 -c")},
        {"lz4", "lz4 -q -c FILE"},
        {"lz4 after a skippable frame", "printf '\\120\\052\\115\\030\\004\\000\\000\\000abcd'; lz4 -q -c FILE"},
        {"two lz4 frames, a skippable frame between", "head -c 1000000 FILE | lz4 -q -c; "
         "printf '\\120\\052\\115\\030\\003\\000\\000\\000abc'; tail -c +1000001 FILE | lz4 -q -c"},
        // Decoded and checked to its end, but not kept: it would not fit.
        {"64 MiB of zeros after the end blocks, under ulimit -f 16 MiB",
         "{ cat FILE; head -c 67108864 /dev/zero; } | zstd -q -c", 16 * 1024 * 1024},
        {"xz -T2, in blocks", "xz -T2 --block-size=300000 -c FILE"},
        {"pigz of a larger tar", "pigz -p2 -c FILE", 0, true},
    };
    test::shell("cd " + test::shellQuoted(dir_->path()) + " && " + test::shellQuoted(test::kotarBinary()) +
                " -x bin.ktar -o back.tar && " + test::shellQuoted(test::kotarBinary()) +
                " -x large.ktar -o large-back.tar");
    const std::string kotar = test::shellQuoted(test::kotarBinary());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto compressed = [&](const std::string& name, const std::string& file) {
            std::string command = c.command;
            for (std::size_t at; (at = command.find("FILE")) != std::string::npos;) command.replace(at, 4, file);
            return make(name, command);
        };
        const std::string tar = c.large ? "large.tar" : "bin.tar";
        const std::string ktar = *dir_ / (c.large ? "large.ktar" : "bin.ktar");
        const std::string back = *dir_ / (c.large ? "large-back.tar" : "back.tar");
        const std::string in = compressed("in", tar);
        const FileSizeLimit limit(c.fileSizeLimit);
        const test::CommandResult created = test::runKotar({"-c", in, "-o", *dir_ / "out.ktar"});
        EXPECT_EQ(created.status, 0) << created.err;
        EXPECT_TRUE(test::readFile(*dir_ / "out.ktar") == test::readFile(ktar));
        make("piped.ktar", "cat in | " + kotar + " -c /dev/stdin -o /dev/stdout | cat");
        EXPECT_TRUE(test::readFile(*dir_ / "piped.ktar") == test::readFile(ktar)) << "-c through pipes";

        const std::string kgz = compressed("in.kgz", ktar);
        make("piped.tar", "cat in.kgz | " + kotar + " -x /dev/stdin -o /dev/stdout | cat");
        EXPECT_TRUE(test::readFile(*dir_ / "piped.tar") == test::readFile(back)) << "-x through pipes";
        const test::CommandResult extracted = test::runKotar({"-x", kgz, "-o", *dir_ / "out.tar"});
        EXPECT_EQ(extracted.status, 0) << extracted.err;
        EXPECT_TRUE(test::readFile(*dir_ / "out.tar") == test::readFile(back)) << "-x from the file";
    }
}

// xz blocks decoded on several threads pass through a ring file in $TMPDIR;
// when that file system fills, each block is decoded again on the reading
// thread, and the conversion is as it would be (its kept copy goes beside
// the destination).
TEST_F(CompressedTarTest, XzBlocksOutliveAFullTemporaryDirectory) {
    const std::string small = *dir_ / "small";
    const test::SmallTmpfs mounted(small, "256k");
    if (!mounted.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here";
    const struct {
        const char* what;
        const char* command;  // writes the input
    } cases[] = {
        {"blocks of one size", "xz -T2 --block-size=300000 -c bin.tar"},
        // The ring is sized from the first block (1 MiB at least): the
        // second, larger than the ring, is decoded again while the third's
        // worker waits for the room it held, which it got only once the
        // reader read on (so never: both waited for ever).
        {"a small block, then larger ones", "xz -T2 --block-list=100000,1500000,300000 -c bin.tar"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = make("blocks.txz", c.command);
        ::unlink((*dir_ / "out.ktar").c_str());
        // A run that waits for ever fails here rather than at the test's time limit.
        const test::CommandResult created =
            test::runCommand({"timeout", "120", test::kotarBinary(), "-c", in, "-o", *dir_ / "out.ktar"}, "",
                             {"TMPDIR=" + small, "KOTAR_DECODING_THREAD=1"});
        EXPECT_EQ(created.status, 0) << created.err;
        EXPECT_TRUE(test::readFile(*dir_ / "out.ktar") == test::readFile(*dir_ / "bin.ktar"));
    }
}

// Compressions that kotar does not read: every mode refuses them with
// today's first line, then a line that names the compression.
TEST_F(CompressedTarTest, UnreadCompressionsAreNamed) {
    const std::string lzip = "the input is lzip-compressed, which kotar does not read\n";
    const std::string dotZ = "the input is compressed with compress (.Z), which kotar does not read\n";
    const std::string lz4Legacy = "the input is in lz4's legacy format (lz4 -l), which kotar does not read\n";
    const struct {
        const char* what;
        const char* command;  // writes the input
        std::string second;   // the second line
        bool whole;           // at least a block: the first line quotes a magic
    } cases[] = {
        {"lzip", "lzip -c bin.tar", lzip, true},
        {"compress", "compress -c bin.tar", dotZ, true},
        {"lzip, shorter than a block", "printf 'LZIP\\001'", lzip, false},
        {"compress, shorter than a block", "head -c 300 bin.tar | compress -c", dotZ, false},
        {"lz4 -l", "lz4 -q -l -c bin.tar", lz4Legacy, true},
    };
    for (const auto& c : cases) {
        const std::string in = make("unread", c.command);
        // Each mode from the file, and creation and listing from a pipe.
        const std::string kotar = test::shellQuoted(test::kotarBinary()), out = test::shellQuoted(*dir_ / "out");
        const std::string quotedIn = test::shellQuoted(in);
        const struct {
            const char* how;
            std::string command;
            bool create;
        } modes[] = {
            {"-c", kotar + " -c " + quotedIn + " -o " + out, true},
            {"-x", kotar + " -x " + quotedIn + " -o " + out, false},
            {"-t", kotar + " -t" + quotedIn, false},
            {"-c from a pipe", "cat " + quotedIn + " | " + kotar + " -c /dev/stdin -o " + out, true},
            {"-t from a pipe", "cat " + quotedIn + " | " + kotar + " -t", false},
        };
        for (const auto& mode : modes) {
            SCOPED_TRACE(std::string(c.what) + ", " + mode.how);
            const std::string firstLine = !c.whole     ? "unable to read input file\n"
                                          : mode.create ? "invalid tar magic '"
                                                        : "invalid kotar magic '";
            const test::CommandResult run = test::runCommand({"sh", "-c", mode.command});
            EXPECT_EQ(run.status, 255);
            EXPECT_TRUE(run.err.starts_with(firstLine)) << run.err;
            EXPECT_TRUE(run.err.ends_with("\n" + c.second) && std::count(run.err.begin(), run.err.end(), '\n') == 2)
                << run.err;
        }
    }
}

// Damage in each compressed form of the tar's first 300000 bytes. What comes
// out is the stream's start, except where a flipped byte inside the data may
// decode to other bytes before the check finds it; either way the stream
// never ends cleanly. Read-ahead must not hide the bytes before the damage.
TEST_F(CompressedTarTest, DamageIsAReadFailureAfterTheBytesBeforeIt) {
    const std::string data = tar_->substr(0, 300000);
    test::writeFile(*dir_ / "part", data);
    using Make = std::function<std::string(std::string z, std::size_t check)>;
    const auto flip = [](std::string z, std::size_t at) { z[at] = static_cast<char>(z[at] ^ 0x10); return z; };
    const struct {
        const char* what;
        Make make;              // from the compressed bytes and the offset of their check value
        bool clean;             // readToEnd() is true, and every byte comes out
        bool exact;             // what comes out is the stream's start
        std::size_t delivered;  // at least this many bytes come out
        const char* onlyIn = nullptr;  // the one format the damage is for
    } damages[] = {
        {"cut in the header", [](std::string z, std::size_t) { return z.substr(0, 8); }, false, true, 0},
        {"cut in the middle", [](std::string z, std::size_t) { return z.substr(0, z.size() / 2); }, false, true, 512},
        {"cut one byte short", [](std::string z, std::size_t) { return z.substr(0, z.size() - 1); }, false, true, 512},
        {"a byte flipped early", [&](std::string z, std::size_t) { return flip(z, z.size() / 10); }, false, false, 0},
        {"a byte flipped late", [&](std::string z, std::size_t) { return flip(z, z.size() * 9 / 10); }, false, false, 512},
        {"a wrong check value", [&](std::string z, std::size_t check) { return flip(z, check); }, false, true, 512},
        {"trailing garbage", [](std::string z, std::size_t) { return z + "garbage\n"; }, true, true, 0},
        // xz stream padding comes in NUL bytes by fours, as `xz -t` has it.
        {"1 NUL byte of padding", [](std::string z, std::size_t) { return z + std::string(1, '\0'); }, false, true,
         300000, "xz"},
        {"3 NUL bytes of padding", [](std::string z, std::size_t) { return z + std::string(3, '\0'); }, false, true,
         300000, "xz"},
        {"5 NUL bytes of padding, then garbage",
         [](std::string z, std::size_t) { return z + std::string(5, '\0') + "garbage\n"; }, false, true, 300000, "xz"},
        {"8 NUL bytes of padding, then garbage",
         [](std::string z, std::size_t) { return z + std::string(8, '\0') + "garbage\n"; }, true, true, 0, "xz"},
        // After the last block's check: the index of the blocks, then the
        // footer, which gives the index's size.
        {"a byte flipped in the index", [&](std::string z, std::size_t check) { return flip(z, check + 8 + 2); },
         false, true, 300000, "xz"},
        {"a byte flipped in the footer", [&](std::string z, std::size_t) { return flip(z, z.size() - 6); }, false,
         true, 300000, "xz"},
    };
    const struct {
        const char* format;
        const char* command;
        std::function<std::size_t(const std::string&)> checkAt;
    } formats[] = {
        {"gzip", "gzip -c part", [](const std::string& z) { return z.size() - 8; }},
        {"gzip length", "gzip -c part", [](const std::string& z) { return z.size() - 4; }},
        {"zstd", "zstd -q --check -c part", [](const std::string& z) { return z.size() - 4; }},
        // The last block's CRC-64 comes before the index, whose size the
        // stream footer gives in 4-byte units, less one.
        {"xz", "xz -c part",
         [](const std::string& z) {
             std::uint32_t backward;
             std::memcpy(&backward, z.data() + z.size() - 8, 4);
             return z.size() - 12 - (backward + 1) * 4 - 8;
         }},
        // Blocks that record their sizes, decoded on several threads: each
        // damage meets them too, in a later block than the first.
        {"xz in blocks", "xz -T2 --block-size=65536 -c part",
         [](const std::string& z) {
             std::uint32_t backward;
             std::memcpy(&backward, z.data() + z.size() - 8, 4);
             return z.size() - 12 - (backward + 1) * 4 - 8;
         }},
        // Blocks smaller than the data, so that a stream cut in the middle
        // has whole blocks before the cut. The stream's combined CRC ends
        // it, in its last 32 bits before at most 7 bits of padding.
        {"bzip2", "bzip2 -1 -c part", [](const std::string& z) { return z.size() - 2; }},
        // The content checksum after the end mark.
        {"lz4", "lz4 -q -B4 -c part", [](const std::string& z) { return z.size() - 4; }},
    };
    for (const auto& f : formats) {
        const std::string z = test::readFile(make("part.z", f.command));
        for (const auto& d : damages) {
            if (d.onlyIn != nullptr && !std::string(f.format).starts_with(d.onlyIn)) continue;
            SCOPED_TRACE(std::string(f.format) + ", " + d.what);
            test::writeFile(*dir_ / "damaged", d.make(z, f.checkAt(z)));
            // Copied out by read(), then lent by view() between reads: the
            // same bytes either way.
            std::string first;
            for (const bool lent : {false, true}) {
                ArchiveInput input;
                ASSERT_EQ(input.open((*dir_ / "damaged").c_str()), 0);
                input.decodeOnItsOwnThread();
                const std::string got = lent ? readAllLent(input) : readAll(input, 4096);
                EXPECT_GE(got.size(), d.clean ? data.size() : d.delivered);
                if (d.exact) {
                    EXPECT_TRUE(data.starts_with(got)) << got.size() << " bytes";
                }
                if (lent) {
                    EXPECT_TRUE(got == first) << got.size() << " bytes lent, " << first.size() << " read";
                }
                first = got;
                EXPECT_EQ(input.readToEnd(), d.clean);
            }
        }
    }
}

// `size` pseudo-random bytes, and their gzip form as gzip writes it.
struct GzipSample {
    std::string data;
    std::string compressed;
};
GzipSample gzipSample(const TempDir& dir, std::size_t size, unsigned seed) {
    GzipSample sample{std::string(size, '\0'), {}};
    std::mt19937 random(seed);
    for (char& c : sample.data) c = static_cast<char>(random());
    test::writeFile(dir / "data", sample.data);
    test::shell("gzip -c " + test::shellQuoted(dir / "data") + " > " + test::shellQuoted(dir / "data.gz"));
    sample.compressed = test::readFile(dir / "data.gz");
    return sample;
}

TEST(ArchiveInput, TruncatedGzipIsAShortRead) {
    TempDir dir;
    const GzipSample sample = gzipSample(dir, 400000, 7);
    const std::string& data = sample.data;
    const std::string& compressed = sample.compressed;
    test::writeFile(dir / "cut.gz", compressed.substr(0, compressed.size() / 2));

    ArchiveInput input;
    ASSERT_EQ(input.open((dir / "cut.gz").c_str()), 0);
    std::string buffer(data.size(), '\0');
    const std::size_t got = input.read(buffer.data(), buffer.size());
    EXPECT_LT(got, data.size());
    EXPECT_EQ(buffer.substr(0, got), data.substr(0, got));
}

// A decoding thread hands over what it decoded from a pipe before it waits
// for more input: a writer that pauses is not made to finish first. The
// reader waits before the bytes come, and then they fill fewer slots of
// the queue than a batch.
TEST(ArchiveInput, APipesBytesArriveWhileItsWriterWaits) {
    TempDir dir;
    const GzipSample sample = gzipSample(dir, 300000, 11);
    const std::string& data = sample.data;
    const std::string& compressed = sample.compressed;

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_GE(fcntl(ends[1], F_SETPIPE_SZ, 1 << 20), static_cast<int>(compressed.size()));
    const std::size_t magic = 10;  // what opening the input reads to choose a decoder
    ASSERT_EQ(write(ends[1], compressed.data(), magic), static_cast<ssize_t>(magic));
    ArchiveInput input;
    ASSERT_EQ(input.open(("/dev/fd/" + std::to_string(ends[0])).c_str()), 0);
    close(ends[0]);
    input.decodeOnItsOwnThread();  // as KOTAR_DECODING_THREAD says

    std::atomic<bool> delivered = false;
    std::atomic<bool> writerClosed = false;
    std::thread writer([&] {
        usleep(50000);  // the reader is waiting by now
        const ssize_t put = write(ends[1], compressed.data() + magic, compressed.size() - magic);
        EXPECT_EQ(put, static_cast<ssize_t>(compressed.size() - magic));
        for (int i = 0; i < 2000 && !delivered; ++i) usleep(10000);
        writerClosed = true;
        close(ends[1]);
    });
    std::string buffer(data.size(), '\0');
    const std::size_t got = input.read(buffer.data(), buffer.size());
    EXPECT_FALSE(writerClosed) << "the bytes waited for the writer to close the pipe";
    delivered = true;
    writer.join();
    ASSERT_EQ(got, data.size());
    EXPECT_TRUE(buffer == data);
}

TEST(ArchiveInput, MissingFileDoesNotOpen) {
    TempDir dir;
    ArchiveInput input;
    EXPECT_EQ(input.open((dir / "missing").c_str()), -1);
    char byte;
    EXPECT_EQ(input.read(&byte, 1), 0u);
    EXPECT_EQ(input.seek(0, SEEK_SET), -1);
}

TEST(ArchiveInput, EmptyFileReadsNothing) {
    TempDir dir;
    test::writeFile(dir / "empty", "");
    ArchiveInput input;
    ASSERT_EQ(input.open((dir / "empty").c_str()), 0);
    char byte;
    EXPECT_EQ(input.read(&byte, 1), 0u);
    EXPECT_EQ(input.seek(0, SEEK_SET), 0);
    EXPECT_EQ(input.read(&byte, 1), 0u);
}

}  // namespace
}  // namespace kotar
