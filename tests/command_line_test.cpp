// The command line, end to end through the kotar binary: option parsing,
// the usage line, and which mode runs on which input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/header_block.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::CommandResult;
using test::TempDir;

const std::string kUsage =
    "Usage: kotar {[-x ktar/kgz-file] [-c tar/tgz-file] [-v] -o destination} | -t < ktar/kgz-file\n";

// A one-member indexed archive and the line that lists it.
std::string indexedArchive(const std::string& memberName) {
    HeaderBlock header = test::makeHeader({.name = memberName, .uid = 0, .gid = 0});
    storeMagic(header, kIndexedMagic);
    setHeaderChecksum(header, true);
    std::string bytes;
    test::appendBlock(bytes, header);
    test::appendBlock(bytes, HeaderBlock{});
    return bytes;
}

std::string listedLine(const std::string& memberName) {
    return "-rw-r--r-- 0/0          0 2009-02-13 23:31 " + memberName + "\n";
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            result.push_back(text.substr(start));
            break;
        }
        result.push_back(text.substr(start, end + 1 - start));
        start = end + 1;
    }
    return result;
}

class CommandLineTest : public testing::Test {
protected:
    void SetUp() override {
        test::writeFile(dir_ / "stdin.ktar", indexedArchive("from-stdin"));
        test::writeFile(dir_ / "file.ktar", indexedArchive("from-file"));
    }
    std::string path(const std::string& name) const { return dir_ / name; }
    CommandResult run(const std::vector<std::string>& arguments) const {
        return test::runKotar(arguments, path("stdin.ktar"), {"TZ=UTC"});
    }

    TempDir dir_;
};

// Command lines that are refused before any file is opened: the usage line
// alone on standard error, nothing on standard output, status 255.
TEST_F(CommandLineTest, UsageLineForIncompleteCommandLines) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-o", path("out")},
        {"-v", "-o", path("out")},
        {"-v"},
        {"-c", path("in.tar")},
        {"-x", path("in.ktar")},
        {"-v", "-c", path("in.tar")},
        {"-c", path("in.tar"), path("not-an-option")},
        {"--", "-o", path("out")},  // after "--" nothing is an option
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const CommandResult result = run(arguments);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, kUsage);
        EXPECT_EQ(result.err.size(), 93u);
        EXPECT_EQ(result.status, 255);
        EXPECT_FALSE(test::fileExists(path("out")));
    }
}

// A bad option letter or a missing option argument: the C library's own
// diagnostic naming the letter, then the usage line, and no mode runs, even
// one selected before the bad option.
TEST_F(CommandLineTest, GetoptDiagnosticThenUsage) {
    struct Case {
        std::vector<std::string> arguments;
        std::string letter;
    };
    const Case cases[] = {
        {{"-q"}, "q"},
        {{"-x"}, "x"},
        {{"-o"}, "o"},
        {{"-t", "-q"}, "q"},
        {{"-q", "-t"}, "q"},
        {{"-c", path("file.ktar"), "-o", path("out"), "-Z"}, "Z"},
        {{"-t", "-o"}, "o"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const CommandResult result = run(c.arguments);
        EXPECT_EQ(result.out, "") << "no listing may run";
        EXPECT_EQ(result.status, 255);
        const std::vector<std::string> errLines = lines(result.err);
        ASSERT_EQ(errLines.size(), 2u) << result.err;
        EXPECT_NE(errLines[0].find("'" + c.letter + "'"), std::string::npos) << errLines[0];
        EXPECT_NE(errLines[0], kUsage);
        EXPECT_EQ(errLines[1], kUsage);
        EXPECT_FALSE(test::fileExists(path("out")));
    }
}

// The listing reads standard input unless -t has an attached argument; any
// -o is ignored; the last mode option wins.
TEST_F(CommandLineTest, WhatTheListingReads) {
    struct Case {
        std::vector<std::string> arguments;
        std::string out;
    };
    const Case cases[] = {
        {{"-t"}, listedLine("from-stdin")},
        {{"-t" + path("file.ktar")}, listedLine("from-file")},
        {{"-t", path("file.ktar")}, listedLine("from-stdin")},  // not attached: an operand
        {{path("file.ktar"), "-t"}, listedLine("from-stdin")},
        {{"-t", "-o", path("out")}, listedLine("from-stdin")},
        {{"-o", path("out"), "-t" + path("file.ktar")}, listedLine("from-file")},
        {{"-v", "-t"}, listedLine("from-stdin")},
        {{"-t", "-v"}, listedLine("from-stdin")},
        {{"-t" + path("file.ktar"), "-t"}, listedLine("from-stdin")},
        {{"-t", "-t" + path("file.ktar")}, listedLine("from-file")},
        {{"-x", path("missing.ktar"), "-t"}, listedLine("from-stdin")},
        {{"-c", path("missing.tar"), "-t" + path("file.ktar")}, listedLine("from-file")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const CommandResult result = run(c.arguments);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_FALSE(test::fileExists(path("out")));
    }
}

// With several mode options the last one runs, on its own input.
TEST_F(CommandLineTest, LastModeOptionWins) {
    struct Case {
        std::vector<std::string> arguments;
        std::string inputNamed;  // the input the failure message names
    };
    const Case cases[] = {
        {{"-x", path("a"), "-c", path("b"), "-o", path("out")}, path("b")},
        {{"-c", path("b"), "-x", path("a"), "-o", path("out")}, path("a")},
        {{"-t", "-c", path("b"), "-o", path("out")}, path("b")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const CommandResult result = run(c.arguments);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "Unable to open input file: " + c.inputNamed + "\n");
        EXPECT_EQ(result.status, 255);
        EXPECT_FALSE(test::fileExists(path("out")));
    }
}

// -x a -c b -o out creates out from b (a does not exist); the last -o wins.
TEST_F(CommandLineTest, CreateRunsOnTheLastInputIntoTheLastDestination) {
    test::shell("cd '" + dir_.path() + "' && echo hello > member.txt && tar --format=gnu -cf b.tar member.txt");
    const CommandResult result =
        run({"-x", path("a"), "-c", path("b.tar"), "-o", path("first"), "-o", path("out")});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(test::fileExists(path("first")));
    ASSERT_TRUE(test::fileExists(path("out")));
    const CommandResult listing = test::runKotar({"-t" + path("out")}, "", {"TZ=UTC"});
    EXPECT_EQ(listing.status, 0);
    EXPECT_NE(listing.out.find(" member.txt\n"), std::string::npos) << listing.out;
}

// -v may stand before or after the mode option; it makes creation report
// each executable candidate and changes nothing in the listing.
TEST_F(CommandLineTest, VerboseAnywhere) {
    test::shell("cd '" + dir_.path() +
                "' && printf '#!/bin/sh\\necho hi\\n' > script.sh && chmod 755 script.sh"
                " && tar --format=gnu -cf in.tar script.sh");
    const CommandResult quiet = run({"-c", path("in.tar"), "-o", path("quiet.ktar")});
    const CommandResult before = run({"-v", "-c", path("in.tar"), "-o", path("before.ktar")});
    const CommandResult after = run({"-c", path("in.tar"), "-o", path("after.ktar"), "-v"});
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(before.err, "Not aligning executable script.sh\n");
    EXPECT_EQ(after.err, before.err);
    EXPECT_EQ(after.out, before.out);
    for (const CommandResult* result : {&quiet, &before, &after}) EXPECT_EQ(result->status, 0);
    EXPECT_EQ(test::readFile(path("before.ktar")), test::readFile(path("quiet.ktar")));
    EXPECT_EQ(test::readFile(path("after.ktar")), test::readFile(path("quiet.ktar")));
}

}  // namespace
}  // namespace kotar
