// The documentation states facts that the code can falsify: the worked
// example of docs/format.md (its recipe is run and every stated offset is
// checked against the archive that kotar writes), and the manual page, which
// must list every message the tool prints and pass man's own checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "text/messages.h"
#include "tests/support/indexed_builder.h"
#include "tests/support/test_support.h"

namespace kotar::test {
namespace {

const std::string kSourceDir = KOTAR_SOURCE_DIR;

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A Markdown table: the cells of each body row, keyed by the header cells.
using Row = std::map<std::string, std::string>;

std::vector<std::string> cellsOf(const std::string& line) {
    std::vector<std::string> cells;
    std::string inner = trim(line);
    inner = inner.substr(1, inner.size() - 2);  // drop the outer pipes
    std::istringstream in(inner);
    for (std::string cell; std::getline(in, cell, '|');) cells.push_back(trim(cell));
    return cells;
}

// The rows of the first table whose header row starts with `firstColumns`.
std::vector<Row> tableStartingWith(const std::string& markdown, const std::string& firstColumns) {
    const std::vector<std::string> lines = linesOf(markdown);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(firstColumns, 0) != 0) continue;
        const std::vector<std::string> header = cellsOf(lines[i]);
        std::vector<Row> rows;
        for (std::size_t j = i + 2; j < lines.size() && lines[j].rfind("|", 0) == 0; ++j) {
            const std::vector<std::string> cells = cellsOf(lines[j]);
            Row row;
            for (std::size_t c = 0; c < header.size() && c < cells.size(); ++c) row[header[c]] = cells[c];
            rows.push_back(row);
        }
        return rows;
    }
    ADD_FAILURE() << "no table starting with " << firstColumns;
    return {};
}

// The first ```sh block after `heading`.
std::string shellBlockAfter(const std::string& markdown, const std::string& heading) {
    const auto at = markdown.find(heading);
    if (at == std::string::npos) return "";
    const auto open = markdown.find("```sh\n", at);
    const auto close = markdown.find("\n```", open + 6);
    if (open == std::string::npos || close == std::string::npos) return "";
    return markdown.substr(open + 6, close - open - 5);
}

bool isNumber(const std::string& cell) { return !cell.empty() && std::all_of(cell.begin(), cell.end(), ::isdigit); }

// `demo/x` in a cell written as "`demo/x`" or "header of `demo/x`".
std::string quotedName(const std::string& cell) {
    const auto open = cell.find('`');
    const auto close = cell.find('`', open + 1);
    return open == std::string::npos || close == std::string::npos ? "" : cell.substr(open + 1, close - open - 1);
}

class FormatDocTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        document_ = new std::string(readFile(kSourceDir + "/docs/format.md"));
        work_ = new TempDir;
        const std::string recipe = shellBlockAfter(*document_, "## Worked example");
        writeFile(*work_ / "recipe.sh", recipe);
        // The recipe calls `kotar`: the one under test comes first in PATH.
        const std::string binDir = std::filesystem::path(kotarBinary()).parent_path();
        const char* path = std::getenv("PATH");
        const CommandResult run =
            runCommand({"/bin/sh", "-c", "cd \"$1\" && sh -e recipe.sh", "sh", work_->path()}, "",
                       {"PATH=" + binDir + ":" + (path != nullptr ? path : "/usr/bin:/bin")});
        recipeStatus_ = run.status;
        recipeOutput_ = new std::string(run.out + run.err);
    }
    static void TearDownTestSuite() {
        delete document_;
        delete work_;
        delete recipeOutput_;
    }
    void SetUp() override {
        ASSERT_FALSE(document_->empty()) << "docs/format.md not found under " << kSourceDir;
        ASSERT_EQ(recipeStatus_, 0) << "the worked example's recipe failed:\n" << *recipeOutput_;
        archive_ = readFile(*work_ / "demo.ktar");
        ASSERT_FALSE(archive_.empty());
    }
    std::string memberData(const std::string& name) { return readFile(*work_ / name); }

    static std::string* document_;
    static TempDir* work_;
    static int recipeStatus_;
    static std::string* recipeOutput_;
    std::string archive_;
};

std::string* FormatDocTest::document_ = nullptr;
TempDir* FormatDocTest::work_ = nullptr;
int FormatDocTest::recipeStatus_ = -1;
std::string* FormatDocTest::recipeOutput_ = nullptr;

TEST_F(FormatDocTest, MemberTableMatchesTheArchive) {
    const std::vector<Row> members = tableStartingWith(*document_, "| Member | Type | Header at |");
    ASSERT_EQ(members.size(), 3u);
    for (const Row& member : members) {
        const std::string name = quotedName(member.at("Member"));
        SCOPED_TRACE(name);
        ASSERT_TRUE(isNumber(member.at("Header at")));
        const HeaderBlock header = blockAt(archive_, std::stoul(member.at("Header at")));
        EXPECT_EQ(fieldText(header, field::name), name);
        EXPECT_TRUE(hasMagic(header, kIndexedMagic));
        EXPECT_TRUE(verifyHeaderChecksum(header));
        EXPECT_EQ(std::string(1, static_cast<char>(typeflagOf(header))), quotedName(member.at("Type")));

        const std::int32_t size = parseOctalField(header, field::size);
        if (isNumber(member.at("Size"))) {
            EXPECT_EQ(size, std::stol(member.at("Size")));
        } else {
            EXPECT_EQ(static_cast<std::size_t>(size), memberData(name).size());
        }
        ASSERT_TRUE(isNumber(member.at("dataOffset")));
        const std::uint32_t dataOffset = readExtensionField(header, kDataOffsetAt);
        EXPECT_EQ(dataOffset, std::stoul(member.at("dataOffset")));
        if (isNumber(member.at("Alignment"))) {
            EXPECT_EQ(dataOffset % std::stoul(member.at("Alignment")), 0u);
            // Nothing coarser than the stated alignment is promised, but the
            // table must not understate it for executables.
            EXPECT_EQ(typeflagOf(header) == '7', member.at("Alignment") == "4096");
        } else {
            EXPECT_EQ(size, 0);
        }
    }
}

TEST_F(FormatDocTest, RegionTableCoversTheWholeFile) {
    const std::vector<Row> regions = tableStartingWith(*document_, "| From | To | Content |");
    ASSERT_FALSE(regions.empty());
    std::size_t expectedFrom = 0;
    for (const Row& region : regions) {
        const std::string& content = region.at("Content");
        SCOPED_TRACE(content);
        ASSERT_TRUE(isNumber(region.at("From")));
        const std::size_t from = std::stoul(region.at("From"));
        EXPECT_EQ(from, expectedFrom) << "regions must follow one another";
        const bool toEnd = region.at("To") == "end of file";
        ASSERT_TRUE(toEnd || isNumber(region.at("To")));
        const std::size_t to = toEnd ? archive_.size() : std::stoul(region.at("To"));
        ASSERT_LE(from, to);
        ASSERT_LE(to, archive_.size());
        const std::string bytes = archive_.substr(from, to - from);

        if (content.rfind("header of ", 0) == 0) {
            ASSERT_EQ(bytes.size(), kBlockSize);
            EXPECT_EQ(fieldText(blockAt(archive_, from), field::name), quotedName(content));
        } else if (content == "zero block" || content.rfind("gap", 0) == 0) {
            EXPECT_EQ(bytes.find_first_not_of('\0'), std::string::npos) << "non-zero byte in " << from << ".." << to;
            if (content == "zero block") {
                EXPECT_EQ(bytes.size(), kBlockSize);
            }
        } else if (content.rfind("data of ", 0) == 0) {
            const std::string data = memberData(quotedName(content));
            EXPECT_TRUE(bytes == data) << "bytes " << from << ".." << to << " are not the member's " << data.size()
                                       << " bytes of data";
        } else {
            ADD_FAILURE() << "a region the test does not know";
        }
        expectedFrom = to;
    }
    EXPECT_EQ(expectedFrom, archive_.size()) << "the last region must end the file";
}

TEST_F(FormatDocTest, ExtensionFieldCommandReadsTheExecutablesHeader) {
    // The doc shows an od command line that prints the executable's four
    // extension fields; the first of them is its dataOffset.
    std::string command;
    for (const std::string& line : linesOf(*document_)) {
        if (line.rfind("od ", 0) == 0) command = line.substr(0, line.find('#'));
    }
    ASSERT_FALSE(command.empty());
    const CommandResult result = runCommand({"/bin/sh", "-c", "cd \"$1\" && " + command, "sh", work_->path()});
    ASSERT_EQ(result.status, 0) << result.err;
    std::istringstream fields(result.out);
    std::uint32_t dataOffset = 0;
    ASSERT_TRUE(fields >> dataOffset);
    const HeaderBlock executable = blockAt(archive_, 1024);
    ASSERT_EQ(fieldText(executable, field::name), "demo/hello");
    EXPECT_EQ(dataOffset, readExtensionField(executable, kDataOffsetAt));
    std::uint32_t textOffset = 0, textPgs = 0, fixUpPgs = 0;
    ASSERT_TRUE(fields >> textOffset >> textPgs >> fixUpPgs);
    EXPECT_EQ(textOffset, readExtensionField(executable, kTextOffsetAt));
    EXPECT_EQ(textPgs, readExtensionField(executable, kTextPgsAt));
    EXPECT_EQ(fixUpPgs, readExtensionField(executable, kFixUpPgsAt));
}

// --- The manual page ---

// The roff source as plain text: escapes resolved, macro names and quotes
// dropped, white space collapsed.
std::string manPageText() {
    std::string text;
    for (std::string line : linesOf(readFile(kSourceDir + "/docs/kotar.1"))) {
        if (line.rfind(".\\\"", 0) == 0) continue;
        for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
                 {"\\-", "-"}, {"\\(dq", "\""}, {"\\&", ""}, {"\\fB", ""}, {"\\fI", ""}, {"\\fR", ""},
                 {"\\fP", ""}, {"\\c", ""}, {"\\e", "\\"}}) {
            for (std::size_t at; (at = line.find(from)) != std::string::npos;) line.replace(at, from.size(), to);
        }
        if (line.rfind(".", 0) == 0) {
            const auto space = line.find(' ');
            line = space == std::string::npos ? "" : line.substr(space + 1);
            line.erase(std::remove(line.begin(), line.end(), '"'), line.end());
        }
        text += line + " ";
    }
    return std::regex_replace(text, std::regex("\\s+"), " ");
}

// Every fixed message the tool writes on standard error, as a pattern: a
// "%s" stays as it is (the page shows it so), a "%u" stands for the number
// the page must spell out.
std::vector<std::string> messagePatterns() {
    std::vector<std::string> patterns;
    for (const char* text : message::kAll) {
        std::string message(text);
        message.pop_back();  // the newline
        std::string pattern = std::regex_replace(message, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&");
        pattern = std::regex_replace(pattern, std::regex("%u"), "[0-9]+");
        patterns.push_back(std::regex_replace(pattern, std::regex("\\s+"), " "));
    }
    return patterns;
}

TEST(FormatManPageTest, DiagnosticsListEveryMessage) {
    const std::string page = manPageText();
    const auto diagnostics = page.find(" DIAGNOSTICS ");
    ASSERT_NE(diagnostics, std::string::npos);
    const std::string section = page.substr(diagnostics);
    const std::vector<std::string> patterns = messagePatterns();
    for (const std::string& pattern : patterns) {
        EXPECT_TRUE(std::regex_search(section, std::regex(pattern))) << "not in DIAGNOSTICS: " << pattern;
    }
}

// kotar's page and kotarfs's.
struct ManPage {
    const char* file;
    const char* title;
};
const ManPage kManPages[] = {{"kotar.1", "KOTAR"}, {"kotarfs.1", "KOTARFS"}};

TEST(FormatManPageTest, HeaderNamesTheProjectVersion) {
    for (const ManPage& page : kManPages) {
        SCOPED_TRACE(page.file);
        const std::string source = readFile(kSourceDir + "/docs/" + page.file);
        EXPECT_NE(source.find("\n.TH " + std::string(page.title) + " 1 \""), std::string::npos);
        EXPECT_NE(source.find("\"kotar " KOTAR_VERSION "\""), std::string::npos)
            << "the .TH line should name version " KOTAR_VERSION;
    }
}

TEST(FormatManPageTest, ManFindsNothingToWarnAbout) {
    if (runCommand({"sh", "-c", "command -v man"}).status != 0) GTEST_SKIP() << "man is not installed";
    for (const ManPage& page : kManPages) {
        SCOPED_TRACE(page.file);
        const CommandResult result =
            runCommand({"man", "--warnings", "-l", kSourceDir + "/docs/" + page.file}, "", {"MANWIDTH=80", "LC_ALL=C"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_NE(result.out.find("DIAGNOSTICS"), std::string::npos);
    }
}

}  // namespace
}  // namespace kotar::test
