// Creation with --align, and --verify: on archives that creation writes, and
// on archives with one planted fault each, which must be named.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "kotar/reader.h"
#include "tests/support/damaged_tables.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::CommandResult;
using test::runKotar;

class VerifyArchiveTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir;
        // -b1: no record padding, so that -x can give back the very same bytes.
        test::shell("cd " + test::shellQuoted(dir_->path()) + " && cp /usr/bin/true /usr/bin/ls /usr/bin/gzip ." +
                    " && printf 'a note\\n' > note && printf '#!/bin/sh\\n' > run.sh && chmod 755 run.sh" +
                    " && tar --format=gnu -b1 -cf in.tar true note ls run.sh gzip");
    }
    static void TearDownTestSuite() { delete dir_; }
    static std::string path(const std::string& name) { return *dir_ / name; }

    // The header block of the member named `name` in the ktar's bytes.
    static HeaderBlock* headerOf(std::string& ktar, const std::string& name) {
        for (std::size_t at = 0; at + kBlockSize <= ktar.size(); at += kBlockSize) {
            auto* block = reinterpret_cast<HeaderBlock*>(ktar.data() + at);
            if (fieldText(*block, field::name) == name) return block;
        }
        ADD_FAILURE() << "no header for " << name;
        return reinterpret_cast<HeaderBlock*>(ktar.data());
    }

    static test::TempDir* dir_;
};

test::TempDir* VerifyArchiveTest::dir_ = nullptr;

TEST_F(VerifyArchiveTest, AlignedExecutablesLieOnTheChosenBoundary) {
    for (const unsigned size : {4096u, 16384u, 65536u}) {
        SCOPED_TRACE(size);
        const std::string align = "--align=" + std::to_string(size);
        const std::string ktar = path("aligned.ktar");
        const CommandResult created = runKotar({"-v", align, "-c", path("in.tar"), "-o", ktar});
        ASSERT_EQ(created.status, 0) << created.err;
        EXPECT_EQ(created.err.substr(0, created.err.find('\n') + 1),
                  "Aligning executables on " + std::to_string(size) + "-byte boundaries\n");

        kotar_archive* archive = nullptr;
        ASSERT_EQ(kotar_open(ktar.c_str(), &archive), KOTAR_OK);
        std::size_t aligned = 0;
        for (std::size_t i = 0; i < kotar_count(archive); ++i) {
            const kotar_member* member = kotar_at(archive, i);
            if (!member->aligned) continue;
            ++aligned;
            EXPECT_EQ(member->data_offset % size, 0u) << member->name;
        }
        kotar_close(archive);
        EXPECT_EQ(aligned, 3u);

        EXPECT_EQ(runKotar({"--verify", ktar, align}).out, "5 members, 3 aligned executables: ok\n");
        ASSERT_EQ(runKotar({"-x", ktar, "-o", path("back.tar")}).status, 0);
        EXPECT_TRUE(test::readFile(path("back.tar")) == test::readFile(path("in.tar")));
    }
}

TEST_F(VerifyArchiveTest, NamesEachPlantedFault) {
    ASSERT_EQ(runKotar({"-c", path("in.tar"), "-o", path("good.ktar")}).status, 0);
    const std::string good = test::readFile(path("good.ktar"));
    const auto extension = [](std::size_t at, int change) {
        return [at, change](HeaderBlock& h) { writeExtensionField(h, at, readExtensionField(h, at) + change); };
    };
    struct Case {
        const char* what;
        std::string member;
        std::function<void(HeaderBlock&)> plant;  // the checksum is set again afterwards, unless it is the fault
        std::string problem;                      // the start of the line that names it
        std::vector<std::string> arguments = {};
    };
    const std::vector<Case> cases = {
        {"none", "note", nullptr, ""},
        {"one bit in a checksum", "note", [](HeaderBlock& h) { h[field::chksum.offset + 3] ^= 1; },
         "note: header checksum mismatch\n"},
        {"an overlapping offset", "run.sh", extension(kDataOffsetAt, -4096), "run.sh: data at "},
        {"a moved executable", "ls", extension(kDataOffsetAt, 512), "ls: aligned executable at "},
        {"a wrong page count", "ls", extension(kTextPgsAt, 1), "ls: text pages "},
        {"a larger boundary", "note", nullptr, "true: aligned executable at 4096, not on a 16384-byte boundary\n",
         {"--align=16384"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string ktar = good;
        if (c.plant) {
            HeaderBlock& header = *headerOf(ktar, c.member);
            c.plant(header);
            if (c.problem.find("checksum") == std::string::npos) setHeaderChecksum(header, true);
        }
        test::writeFile(path("planted.ktar"), ktar);
        std::vector<std::string> arguments = {"--verify", path("planted.ktar")};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const CommandResult result = runKotar(arguments);
        const std::string summary = "5 members, 3 aligned executables: ";
        if (c.problem.empty()) {
            EXPECT_EQ(result.out, summary + "ok\n");
            EXPECT_EQ(result.status, 0);
            continue;
        }
        EXPECT_EQ(result.out.substr(0, c.problem.size()), c.problem) << result.out;
        EXPECT_NE(result.out.find("\n" + summary), std::string::npos) << result.out;
        EXPECT_NE(result.out.find(" problem", result.out.find("\n" + summary)), std::string::npos) << result.out;
        EXPECT_EQ(result.status, 255);
    }
    // A plain tar is not an indexed archive.
    const CommandResult plain = runKotar({"--verify", path("in.tar")});
    EXPECT_EQ(plain.out, path("in.tar") + ": not an indexed archive\n0 members, 0 aligned executables: 1 problem\n");
    EXPECT_EQ(plain.status, 255);
}

// A damaged table is a problem that --verify names, whatever it follows.
TEST(VerifyDamagedTables, EveryRowThatExtractionChecksIsAProblem) {
    test::TempDir dir;
    for (const test::DamagedTable& c : test::damagedTables()) {
        if (c.extractStatus < 0) continue;
        SCOPED_TRACE(c.name);
        test::writeFile(dir / "damaged.ktar", c.bytes);
        const CommandResult result = runKotar({"--verify", dir / "damaged.ktar"});
        EXPECT_EQ(result.status, 255);
        EXPECT_NE(result.out.find("1 problem\n"), std::string::npos) << result.out;
    }
}

}  // namespace
}  // namespace kotar
