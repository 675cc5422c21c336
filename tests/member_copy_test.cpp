#include "output/member_copy.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "output/positional_copy.h"
#include "tests/support/test_support.h"
#include "text/progress_line.h"

namespace kotar {
namespace {

using test::TempDir;

constexpr std::uint64_t KiB = 1024;

// More than two of the file-to-file copy's 256 KiB pieces, and a length
// that is no multiple of a block.
constexpr std::size_t kSourceSize = 700 * KiB + 77;

std::string sourceBytes() {
    std::string bytes(kSourceSize, '\0');
    std::mt19937 random(7);
    for (char& c : bytes) c = static_cast<char>(random() >> 24);
    return bytes;
}

struct Member {
    std::uint64_t inputAt;
    std::uint64_t outputAt;
    std::uint64_t size;
};

struct CopyCase {
    const char* name;
    std::vector<Member> members;  // copied in order with one copier
};

// What the output holds after the members are copied: each member's bytes
// at its place, zeros in between. When the input runs short, only the whole
// kCopyChunk pieces that it could fill are written.
std::string expectedOutput(const std::string& source, const std::vector<Member>& members, bool& complete) {
    std::string out;
    complete = true;
    for (const Member& member : members) {
        std::uint64_t size = member.size;
        if (member.inputAt + size > source.size()) {
            const std::uint64_t available = source.size() > member.inputAt ? source.size() - member.inputAt : 0;
            size = available / kCopyChunk * kCopyChunk;
            complete = false;
        }
        if (size > 0) {  // a seek alone does not make the file longer
            if (out.size() < member.outputAt + size) out.resize(member.outputAt + size, '\0');
            out.replace(member.outputAt, size, source, member.inputAt, size);
        }
        if (!complete) break;
    }
    return out;
}

class MemberCopyTest : public testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        source_ = new std::string(sourceBytes());
        test::writeFile(*dir_ / "source", *source_);
        test::shell("gzip -c " + test::shellQuoted(*dir_ / "source") + " > " + test::shellQuoted(*dir_ / "source.gz"));
    }
    static void TearDownTestSuite() {
        delete source_;
        delete dir_;
        source_ = nullptr;
        dir_ = nullptr;
    }

    static std::string inputPath() { return *dir_ / (GetParam() ? "source.gz" : "source"); }

    static TempDir* dir_;
    static std::string* source_;
};

TempDir* MemberCopyTest::dir_ = nullptr;
std::string* MemberCopyTest::source_ = nullptr;

const CopyCase kCopyCases[] = {
    {"Empty", {{512, 4096, 0}}},
    {"WithinOnePiece", {{512, 1024, 5000}}},
    {"PageAlignedInputAndOutput", {{4096, 8192, 300 * KiB}}},
    {"OddOutputCrossingPieceBoundaries", {{1536, 256 * KiB - 512, 600 * KiB + 3}}},
    {"OutputEndingOnAPieceBoundary", {{512, 256 * KiB - 4096, 4096}}},
    {"WholeInput", {{0, 0, kSourceSize}}},
    {"ToTheInputsEnd", {{100 * KiB, 3 * 512, kSourceSize - 100 * KiB}}},
    {"SeveralMembersWithOneCopier",
     {{512, 2048, 1000}, {2048, 4096, 400 * KiB}, {450 * KiB, 404 * KiB + 1024, 20 * KiB}, {0, 512 * KiB, 7}}},
    {"InputShortByLessThanAPiece", {{512, 4096, kSourceSize}}},
    {"InputShortByMoreThanAPiece", {{600 * KiB, 4096, 200 * KiB}}},
    {"MemberAfterTheInputsEnd", {{512, 0, 100}, {kSourceSize + 512, 4096, 100}}},
};

TEST_P(MemberCopyTest, CopiesEachMemberToItsPlace) {
    for (const CopyCase& copyCase : kCopyCases) {
        SCOPED_TRACE(copyCase.name);
        const std::string destination = *dir_ / "out";
        ArchiveInput input;
        ASSERT_EQ(input.open(inputPath().c_str()), 0);
        OutputFile output;
        ASSERT_EQ(output.open(destination.c_str()), 0);

        MemberCopier copier;
        bool allCopied = true;
        for (const Member& member : copyCase.members) {
            ASSERT_EQ(input.seek(static_cast<std::int64_t>(member.inputAt), SEEK_SET),
                      static_cast<std::int64_t>(member.inputAt));
            ASSERT_EQ(output.seek(member.outputAt), 0);
            const CopyOutcome outcome = copier.copy(input, output, member.size);
            if (outcome != CopyOutcome::copied) {
                EXPECT_EQ(outcome, CopyOutcome::readFailed);
                allCopied = false;
                break;
            }
            EXPECT_EQ(input.tell(), static_cast<std::int64_t>(member.inputAt + member.size));
            EXPECT_EQ(output.tell(), static_cast<std::int64_t>(member.outputAt + member.size));
        }
        ASSERT_EQ(output.close(), 0);

        bool complete = true;
        const std::string expected = expectedOutput(*source_, copyCase.members, complete);
        EXPECT_EQ(allCopied, complete);
        const std::string written = test::readFile(destination);
        ASSERT_EQ(written.size(), expected.size());
        EXPECT_TRUE(written == expected) << "the output differs from the members' bytes";
    }
}

TEST_P(MemberCopyTest, FullDestinationIsAWriteFailure) {
    ArchiveInput input;
    ASSERT_EQ(input.open(inputPath().c_str()), 0);
    OutputFile output;
    ASSERT_EQ(output.open("/dev/full"), 0);
    MemberCopier copier;
    EXPECT_EQ(copier.copy(input, output, 600 * KiB), CopyOutcome::writeFailed);

    // From a file, by position, into a file that can take no more (a file
    // size limit stands for a full disk): also a member that the output's
    // buffer would hold whole, whose failure must not wait for the close.
    const int source = ::open((*dir_ / "source").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(source, 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    for (const std::uint64_t size : {600 * KiB, std::uint64_t{5000}}) {
        SCOPED_TRACE(size);
        OutputFile full;
        ASSERT_EQ(full.open((*dir_ / "full").c_str()), 0);
        const test::FileSizeLimit limit(1024);
        EXPECT_EQ(MemberCopier().copyFromFile(source, 512, full, size), CopyOutcome::writeFailed);
    }
    std::signal(SIGXFSZ, previousHandler);
    ::close(source);
}

// The same members copied at once on two threads, by position, last first:
// from the plain source and from one larger than the reader's ring, which
// the copy may also cut short as it goes; and into a full device. Every
// member's bytes at their place, or the failure of the first member, in
// order, that cannot be copied whole.
TEST(CopyOnTwoThreads, CopiesEachMemberOrGivesTheFirstFailure) {
    TempDir dir;
    const std::string small = sourceBytes();
    std::string large;
    while (large.size() < 17 * 1024 * KiB) large += small;
    test::writeFile(dir / "small", small);
    test::writeFile(dir / "large", large);
    const std::vector<CopyCase> largeCases = {
        {"ManyChunks", {{512, 4096 + 512, large.size() - 512}, {0, 0, 4096}}},
        {"ShortInTheLastChunk", {{0, 0, 4096}, {4096, 8192, large.size()}}},
        {"ShortBeforeAFullDestination", {{0, 0, 4096}, {large.size(), 8192, 1}, {8192, 16384, 4096}}},
    };
    struct Source {
        const char* path;
        const std::string& bytes;
        std::vector<CopyCase> cases;
        bool scratch;  // the copy may cut it short
        const char* destination;
    };
    const Source sources[] = {
        {"small", small, {std::begin(kCopyCases), std::end(kCopyCases)}, false, "out"},
        {"large", large, largeCases, false, "out"},
        {"large", large, largeCases, true, "out"},
        {"large", large, largeCases, false, "/dev/full"},
    };
    for (const Source& source : sources) {
        for (const CopyCase& copyCase : source.cases) {
            SCOPED_TRACE(std::string(source.path) + (source.scratch ? " as scratch" : "") + " into " +
                         source.destination + ": " + copyCase.name);
            const std::string scratchPath = dir / "scratch";
            if (source.scratch) test::writeFile(scratchPath, source.bytes);
            const int from = ::open((source.scratch ? scratchPath : dir / source.path).c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_GE(from, 0);
            const bool full = std::string(source.destination) == "/dev/full";
            const std::string destination = full ? source.destination : dir / source.destination;
            const int to = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ASSERT_GE(to, 0);
            std::vector<FileCopy> copies;
            for (const Member& member : copyCase.members) {
                copies.push_back({from, member.inputAt, member.outputAt, member.size});
            }
            const std::optional<CopyOutcome> outcome =
                copyOnTwoThreads(copies, to, std::array{source.scratch ? from : -1});
            ::close(to);
            struct stat status {};
            ASSERT_EQ(fstat(from, &status), 0);
            ::close(from);

            CopyOutcome expectedOutcome = CopyOutcome::copied;
            for (const Member& member : copyCase.members) {
                if (member.inputAt + member.size > source.bytes.size()) {
                    expectedOutcome = CopyOutcome::readFailed;
                    break;
                }
                if (full && member.size > 0) {
                    expectedOutcome = CopyOutcome::writeFailed;
                    break;
                }
            }
            ASSERT_TRUE(outcome.has_value());
            EXPECT_EQ(*outcome, expectedOutcome);
            if (expectedOutcome == CopyOutcome::copied && !full) {
                bool complete = true;
                EXPECT_TRUE(test::readFile(destination) == expectedOutput(source.bytes, copyCase.members, complete))
                    << "the output differs";
            }
            if (source.scratch && expectedOutcome == CopyOutcome::copied) {
                EXPECT_LT(static_cast<std::uint64_t>(status.st_size), source.bytes.size() / 2) << "not cut short";
            }
        }
    }
}

// A copy between files takes its bytes past the input's stream; the
// progress line counts them as read all the same (-x from a ktar file
// showed 0 % for the whole run).
TEST(MemberCopyProgress, BytesCopiedBetweenFilesShowAsRead) {
    TempDir dir;
    test::writeFile(dir / "source", sourceBytes());
    // The line goes to standard error, here a file for the copy's time.
    const int saved = dup(STDERR_FILENO);
    const int err = ::open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(saved, 0);
    ASSERT_GE(err, 0);
    dup2(err, STDERR_FILENO);
    ::close(err);
    progressAsked = true;
    std::optional<CopyOutcome> outcome;
    {
        ArchiveInput input;
        OutputFile output;
        if (input.open((dir / "source").c_str()) == 0 && output.open((dir / "out").c_str()) == 0) {
            progressStart(input.inputSize());
            outcome = MemberCopier().copy(input, output, kSourceSize);
            progressFinish();
        }
    }
    progressAsked = false;
    dup2(saved, STDERR_FILENO);
    ::close(saved);
    EXPECT_EQ(outcome, CopyOutcome::copied);
    const std::string line = test::readFile(dir / "err");
    EXPECT_EQ(line.find("\r0.7 MiB of 0.7 MiB read (100%"), 0u) << line;
}

INSTANTIATE_TEST_SUITE_P(PlainAndGzipInput, MemberCopyTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "gzip" : "plain"; });

}  // namespace
}  // namespace kotar
