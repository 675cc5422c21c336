// The command line, end to end through the kotar binary: option parsing,
// the usage line, and which mode runs on which input.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "kotar/reader.h"
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
        // Operands that no option takes; only the one right after a bare -t is its file.
        {path("file.ktar"), "-t"},
        {"-t", path("file.ktar"), path("file.ktar")},
        {"-t" + path("file.ktar"), path("extra")},
        {"-t", "-v", path("file.ktar")},
        {"-t", "--", path("file.ktar")},
        {"-c", path("a.tgz"), "-o", path("out"), path("extra.tar")},
        {"-x", path("a.ktar"), path("extra"), "-o", path("out")},
        {"--verify", path("file.ktar"), path("extra")},
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
        {{"--bogus"}, "--bogus"},
        {{"-t", "--align"}, "--align"},
        {{"--help=yes"}, "--help"},
        {{"-t", "--verify"}, "--verify"},
        // After an operand that no option takes, as without it.
        {{path("file.ktar"), "-c"}, "c"},
        {{path("file.ktar"), "-o", path("out"), "-x"}, "x"},
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
        {{"-t", path("file.ktar")}, listedLine("from-file")},  // the operand right after -t
        {{"-v", "-t", path("file.ktar"), "-o", path("out")}, listedLine("from-file")},
        {{"-t", path("file.ktar"), "-t"}, listedLine("from-stdin")},
        {{"-t", "-o", path("out")}, listedLine("from-stdin")},
        {{"-o", path("out"), "-t" + path("file.ktar")}, listedLine("from-file")},
        {{"-v", "-t"}, listedLine("from-stdin")},
        {{"-t", "-v"}, listedLine("from-stdin")},
        {{"-t" + path("file.ktar"), "-t"}, listedLine("from-stdin")},
        {{"-t", "-t" + path("file.ktar")}, listedLine("from-file")},
        {{"-x", path("missing.ktar"), "-t"}, listedLine("from-stdin")},
        {{"-c", path("missing.tar"), "-t" + path("file.ktar")}, listedLine("from-file")},
        {{"-t", "-"}, listedLine("from-stdin")},  // "-" is standard input
        {{"-t-"}, listedLine("from-stdin")},
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

// An empty destination cannot be opened, in either mode.
TEST_F(CommandLineTest, EmptyDestinationIsRefusedAsUnopenable) {
    test::shell("cd '" + dir_.path() + "' && echo hello > member.txt && tar --format=gnu -cf b.tar member.txt");
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"-c", path("b.tar"), "-o", ""}, {"-x", path("file.ktar"), "-o", ""}}) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const CommandResult result = run(arguments);
        EXPECT_EQ(result.err, "Unable to open output file: \n");
        EXPECT_EQ(result.status, 255);
    }
}

// As in tar, "-" is standard input for -c, -x and -t, and standard output
// for -o; a file named "-" is reached as "./-".
TEST_F(CommandLineTest, DashIsStandardInputAndOutput) {
    test::shell("cd '" + dir_.path() +
                "' && echo hello > member.txt && tar --format=gnu -cf b.tar member.txt && gzip -c b.tar > b.tgz");
    ASSERT_EQ(run({"-c", path("b.tar"), "-o", path("b.ktar")}).status, 0);
    ASSERT_EQ(run({"-x", path("b.ktar"), "-o", path("back.tar")}).status, 0);
    const std::string ktar = test::readFile(path("b.ktar"));
    struct Case {
        std::vector<std::string> arguments;
        std::string stdinPath;
        std::string out;
    };
    const Case cases[] = {
        {{"-c", "-", "-o", "-"}, path("b.tgz"), ktar},
        {{"-c", path("b.tar"), "-o", "-"}, "", ktar},
        {{"-x", "-", "-o", "-"}, path("b.ktar"), test::readFile(path("back.tar"))},
        {{"-t", "-"}, path("file.ktar"), listedLine("from-file")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const CommandResult result = test::runKotar(c.arguments, c.stdinPath, {"TZ=UTC"});
        EXPECT_TRUE(result.out == c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }
    EXPECT_FALSE(test::fileExists("-"));
    test::shell("cd '" + dir_.path() + "' && cp b.tar ./- && " + test::kotarBinary() +
                " -c ./- -o ./-.ktar && cmp -- -.ktar b.ktar");
    // Standard input is read from where it stands, through the descriptor:
    // past what an earlier command read, and where it cannot be opened again
    // by name (a file only its owner may read, given to nobody).
    const std::string kotar = test::shellQuoted(test::kotarBinary());
    const std::string skip = "dd bs=512 count=1 of=/dev/null status=none; ";
    test::shell("cd '" + dir_.path() + "' && { head -c 512 /dev/zero; cat b.tgz; } > skip.tgz"
                " && { head -c 512 /dev/zero; cat b.ktar; } > skip.ktar && " + kotar + " -t b.ktar > b.list"
                " && chmod 600 b.tar b.ktar");
    struct Piped {
        std::string command;
        std::string expected;
        bool asNobody;
    };
    const Piped piped[] = {
        {"{ " + skip + kotar + " -c - -o out; } < skip.tgz", "b.ktar", false},
        {"{ " + skip + kotar + " -x - -o out; } < skip.ktar", "back.tar", false},
        {"{ " + skip + kotar + " -t /dev/stdin; } < skip.ktar > out", "b.list", false},
        {"setpriv --reuid=nobody --regid=nogroup --clear-groups " + kotar + " -c - -o - < b.tar > out", "b.ktar", true},
        {"setpriv --reuid=nobody --regid=nogroup --clear-groups " + kotar + " -x - -o - < b.ktar > out", "back.tar", true},
        {"setpriv --reuid=nobody --regid=nogroup --clear-groups " + kotar + " -t /dev/stdin < b.ktar > out", "b.list", true},
    };
    for (const Piped& c : piped) {
        SCOPED_TRACE(c.command);
        if (c.asNobody && !test::whyNotAsNobody().empty()) continue;
        test::shell("cd '" + dir_.path() + "' && rm -f out && " + c.command);
        EXPECT_TRUE(test::readFile(path("out")) == test::readFile(path(c.expected)));
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

// --help and --version print on standard output and run no mode; a bad
// --align stops the run with one line of its own.
TEST_F(CommandLineTest, HelpVersionAndAlignmentValue) {
    struct Case {
        std::vector<std::string> arguments;
        std::string out;  // its start
        std::string err;
        int status;
    };
    const std::string badAlignment = "invalid alignment '8192', it must be 4096, 16384 or 65536\n";
    const Case cases[] = {
        {{"--help"}, kUsage + "\n  -c FILE ", "", 0},
        {{"-c", path("missing.tar"), "--help"}, kUsage, "", 0},
        {{"--version"}, "kotar " KOTAR_VERSION "\n", "", 0},
        {{"-t", "--version", path("x")}, "kotar " KOTAR_VERSION "\n", "", 0},
        {{"--align=8192", "-c", path("in.tar"), "-o", path("out")}, "", badAlignment, 255},
        {{"--verify", path("file.ktar"), "--align=8192"}, "", badAlignment, 255},
        {{"--align=", "-t"}, "", "invalid alignment '', it must be 4096, 16384 or 65536\n", 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        const CommandResult result = run(c.arguments);
        EXPECT_EQ(result.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(result.out.empty(), c.out.empty());
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.status, c.status);
        EXPECT_FALSE(test::fileExists(path("out")));
    }
    // Every option of --help has its place in the manual page and the README.
    const std::string help = run({"--help"}).out;
    const std::string page = test::readFile(KOTAR_SOURCE_DIR "/docs/kotar.1");
    const std::string readme = test::readFile(KOTAR_SOURCE_DIR "/README.md");
    for (const char* option :
         {"-c", "-x", "-o", "-t", "-v", "--align=", "--verify", "--progress", "--help", "--version"}) {
        SCOPED_TRACE(option);
        EXPECT_NE(help.find(std::string("  ") + option), std::string::npos);
        std::string inPage;  // as roff writes it: each '-' as "\-"
        for (const char c : std::string(option)) inPage += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(page.find(inPage), std::string::npos) << inPage;
        EXPECT_NE(readme.find(option), std::string::npos);
    }
}

// Whether `text` is valid UTF-8 holding no C1 control character
// (U+0080..U+009F).
bool isUtf8WithoutC1(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                   : lead >= 0xF0 && lead <= 0xF4                 ? 4
                                                                                  : 0;
        if (length == 0 || at + length > text.size()) return false;
        for (std::size_t i = 1; i < length; ++i) {
            if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return false;
        }
        if (lead == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F) return false;
        at += length;
    }
    return true;
}

// A pseudo-terminal's far end, read after the run.
class PseudoTerminal {
public:
    PseudoTerminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ >= 0 && (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname(master_) == nullptr)) {
            close(master_);
            master_ = -1;
        }
        if (master_ >= 0) name_ = ptsname(master_);
    }
    ~PseudoTerminal() {
        if (master_ >= 0) close(master_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;
    bool opened() const { return master_ >= 0; }
    const std::string& name() const { return name_; }
    void setColumns(unsigned short columns) {
        const winsize size{.ws_row = 24, .ws_col = columns, .ws_xpixel = 0, .ws_ypixel = 0};
        ioctl(master_, TIOCSWINSZ, &size);
    }
    // What has been written to the terminal so far.
    std::string written() {
        std::string all;
        char buffer[4096];
        for (ssize_t got; (got = read(master_, buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<std::size_t>(got));
        return all;
    }

private:
    int master_ = -1;
    std::string name_;
};

// The progress line: drawn with --progress wherever standard error goes,
// and on a terminal once a run has gone on for two seconds; always cleared
// at the end, before any message. Otherwise standard error stays as it was.
TEST_F(CommandLineTest, ProgressLineAppearsOnlyWhenAskedOrOnASlowTerminal) {
    PseudoTerminal terminal;
    if (!terminal.opened()) GTEST_SKIP() << "no pseudo-terminal";
    test::shell("cd '" + dir_.path() + "' && head -c 3000000 /dev/urandom > data && tar --format=gnu -cf in.tar data"
                " && gzip -c in.tar > in.tgz && head -c 1000000 in.tgz > cut.tgz");
    const std::string kotar = test::shellQuoted(test::kotarBinary());
    const std::string slow = "{ head -c 100000 in.tgz; sleep 2.5; tail -c +100001 in.tgz; } | ";
    const std::string clear = "\r\033[K";
    struct Case {
        std::string what;
        std::string command;  // in the folder, standard error to ERR
        bool toTerminal;
        bool drawn;
        std::string after;  // what follows the line's last clearing
        int status;
        unsigned short columns = 0;  // the terminal's width, when it tells one
    };
    const Case cases[] = {
        {"asked, to a file", kotar + " --progress -c in.tgz -o out.ktar", false, true, "", 0},
        {"asked, extraction", kotar + " -x ref.ktar.gz -o out.tar --progress", false, true, "", 0},
        {"asked, then damage", kotar + " --progress -c cut.tgz -o out.ktar", false, true, "unable to read input file\n", 255},
        {"slow, to a file", slow + kotar + " -c /dev/stdin -o out.ktar", false, false, "", 0},
        {"quick, to a terminal", kotar + " -c in.tgz -o out.ktar", true, false, "", 0},
        {"slow, to a terminal", slow + kotar + " -c /dev/stdin -o out.ktar", true, true, "", 0},
        {"asked, to a narrow terminal", kotar + " --progress -c in.tgz -o out.ktar", true, true, "", 0, 30},
    };
    ASSERT_EQ(run({"-c", path("in.tgz"), "-o", path("ref.ktar")}).status, 0);
    test::shell("cd '" + dir_.path() + "' && gzip -c ref.ktar > ref.ktar.gz && " + kotar + " -x ref.ktar -o ref.tar");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        terminal.setColumns(c.columns);
        const std::string errorPath = c.toTerminal ? terminal.name() : path("err");
        const int status = test::shell("cd '" + dir_.path() + "' && { " + c.command + "; } 2>'" + errorPath + "'", false);
        std::string err = c.toTerminal ? terminal.written() : test::readFile(path("err"));
        EXPECT_EQ(status, c.status);
        if (!c.drawn) {
            EXPECT_EQ(err, c.after);
            continue;
        }
        // "\r<line>\033[K" each time, then "\r\033[K".
        EXPECT_EQ(err.substr(0, 1), "\r");
        EXPECT_NE(err.find(c.columns > 0 ? " MiB of " : " MiB/s decoded\033[K"), std::string::npos) << err;
        const std::size_t cleared = err.rfind(clear);
        ASSERT_NE(cleared, std::string::npos) << err;
        EXPECT_EQ(err.substr(cleared + clear.size()), c.after);
        // Each line short of the last column, or it wraps.
        for (std::size_t at = 0; c.columns > 0 && at < cleared; at = err.find('\r', at + 1)) {
            EXPECT_LT(err.find("\033[K", at) - at - 1, c.columns) << err;
        }
        if (c.status == 0) {
            const std::string out = test::readFile(path(c.what == "asked, extraction" ? "out.tar" : "out.ktar"));
            EXPECT_TRUE(out == test::readFile(path(c.what == "asked, extraction" ? "ref.tar" : "ref.ktar")));
        }
    }
}

// Names and magic text from an archive reach the terminal escaped, in every
// place they are printed: no control byte but the line ends gets through,
// C1 controls (U+009B, the 8-bit CSI, as C2 9B and as a lone 9B) and bytes
// that are not UTF-8 included, while valid UTF-8 (日本, whose bytes E6 97 A5
// E6 9C AC hold some in 0x80..0x9F) stays as it is.
TEST_F(CommandLineTest, UntrustedTextIsEscapedEverywhere) {
    const std::string hostile = "a\nb\tc\x1b[2Jd\\e\x7f" "\xc2\x9b" "1;\x9b" "2;\xe9" "日本";
    const std::string escaped = "a\\nb\\tc\\033[2Jd\\\\e\\177\\302\\2331;\\2332;\\351日本";
    const std::string elf = test::readFile("/usr/bin/true");
    std::string tar;
    test::appendBlock(tar, test::makeHeader({.name = hostile + "1.sh", .mode = 0755, .size = 10}));
    test::appendPadded(tar, "#!/bin/sh\n");
    test::appendBlock(tar, test::makeHeader({.name = hostile + "2", .mode = 0755, .size = elf.size()}));
    test::appendPadded(tar, elf);
    const std::string longName = hostile + std::string(120, 'x');
    test::appendBlock(tar, test::makeHeader({.name = "././@LongLink", .size = longName.size() + 1, .typeflag = 'L'}));
    test::appendPadded(tar, longName + '\0');
    test::appendBlock(tar, test::makeHeader({.name = longName}));
    tar += std::string(2 * kBlockSize, '\0');
    test::writeFile(path("names.tar"), tar);
    HeaderBlock badMagic = test::makeHeader({.name = "m"});
    std::memcpy(badMagic.data() + field::magic.offset, "\x1b]0;\a\\\r", 8);
    setHeaderChecksum(badMagic, false);
    test::writeFile(path("magic.tar"), std::string(badMagic.begin(), badMagic.end()) + std::string(1024, '\0'));
    const std::string magicText = "\\033]0;\\a\\\\\\r'\n";
    // C1 magic: C2 9B, a lone 9B, E9, then 日 (E6 97 A5) and the NUL.
    std::memcpy(badMagic.data() + field::magic.offset, "\xc2\x9b" "\x9b" "\xe9" "日", 8);
    setHeaderChecksum(badMagic, false);
    test::writeFile(path("c1magic.tar"), std::string(badMagic.begin(), badMagic.end()) + std::string(1024, '\0'));
    const std::string c1MagicText = "\\302\\233\\233\\351日'\n";
    // An indexed table whose second block has that magic, for --verify.
    std::string c1Table = indexedArchive("first");
    c1Table.replace(kBlockSize, kBlockSize, std::string(badMagic.begin(), badMagic.end()));
    test::writeFile(path("c1magic.ktar"), c1Table + std::string(kBlockSize, '\0'));

    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        bool onStdout;
        std::string expected;  // a part of that stream
    };
    const Case cases[] = {
        {"not aligning line", {"-v", "-c", path("names.tar"), "-o", path("names.ktar")}, false,
         "Not aligning executable " + escaped + "1.sh\n"},
        {"aligning line", {"-v", "-c", path("names.tar"), "-o", path("names.ktar")}, false,
         "\nAligning executable " + escaped + "2\n"},
        {"closing line", {"-v", "-c", path("names.tar"), "-o", path("names.ktar")}, true,
         "\n" + escaped + "2: textPgs: "},
        {"listing, name field", {"-t", path("names.ktar")}, true, " " + escaped + "2\n"},
        {"listing, long name", {"-t", path("names.ktar")}, true, " " + escaped + std::string(120, 'x') + "\n"},
        {"tar magic", {"-c", path("magic.tar"), "-o", path("out")}, false, "invalid tar magic '" + magicText},
        {"kotar magic, -x", {"-x", path("magic.tar"), "-o", path("out")}, false, "invalid kotar magic '" + magicText},
        {"kotar magic, -t", {"-t", path("magic.tar")}, false, "invalid kotar magic '" + magicText},
        {"verify, problem line", {"--verify", path("names.ktar"), "--align=65536"}, true,
         escaped + "2: aligned executable"},
        {"C1 tar magic", {"-c", path("c1magic.tar"), "-o", path("out")}, false, "invalid tar magic '" + c1MagicText},
        {"C1 kotar magic, -x", {"-x", path("c1magic.tar"), "-o", path("out")}, false,
         "invalid kotar magic '" + c1MagicText},
        {"C1 kotar magic, -t", {"-t", path("c1magic.tar")}, false, "invalid kotar magic '" + c1MagicText},
        {"C1 kotar magic, verify", {"--verify", path("c1magic.ktar")}, true, "m: invalid kotar magic '" + c1MagicText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CommandResult result = run(c.arguments);
        const std::string& stream = c.onStdout ? result.out : result.err;
        EXPECT_NE(stream.find(c.expected), std::string::npos) << stream;
        for (const char byte : result.out + result.err) {
            EXPECT_TRUE(static_cast<unsigned char>(byte) >= 0x20 || byte == '\n') << static_cast<int>(byte);
            EXPECT_NE(byte, '\x7f');
        }
        EXPECT_TRUE(isUtf8WithoutC1(result.out + result.err)) << result.out + result.err;
    }
}

}  // namespace
}  // namespace kotar
