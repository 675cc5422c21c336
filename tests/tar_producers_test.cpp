// kotar -c over the tars that real producers write of one tree: GNU tar in
// its gnu, posix and ustar formats, bsdtar in its default, pax and ustar
// formats, Python's tarfile in its three formats, and git archive. Each row
// runs where its producer is installed. The listing must name what tar -t
// names; GNU tar and bsdtar must each extract from the archive that kotar
// -x gives back the same tree as from the original: contents, types, link
// targets, modes, times to the nanosecond, owners (as root), extended
// attributes and capabilities.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/indexed_checker.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::TempDir;
using test::shellQuoted;

// Names around the 100-byte name field and the 155-byte prefix: some split
// into prefix and name, some cannot.
const std::string k99 = std::string(99, 'a');
const std::string k100 = std::string(100, 'b');
const std::string k101Split = "d101/" + std::string(96, 'c');
const std::string k101 = std::string(101, 'e');
// Its prefix is 155 bytes, the most that fits; its folders split too.
const std::string kDeepFolder = std::string(50, 'A') + "/" + std::string(50, 'B') + "/" + std::string(53, 'C');
const std::string k256Split = kDeepFolder + "/" + std::string(100, 'N');
const std::string k256 = std::string(50, 'Q') + "/" + std::string(205, 'R');

// Every path of the tree, parents first: what the producers are given.
const std::vector<std::string> kPaths = {
    "plain", "hard", "sym", "longlink", "exe", "frac", k99, k100, "d101", k101Split, k101,
    std::string(50, 'A'), kDeepFolder.substr(0, 101), kDeepFolder, k256Split, std::string(50, 'Q'), k256,
    "h\xc3\xa9llo-w\xc3\xb6rld.txt", "\xe6\x97\xa5\xe6\x9c\xac.txt",
};

constexpr const char kPythonProducer[] = R"(import os, sys, tarfile
fmt = getattr(tarfile, sys.argv[1])
def owner(info):
    if info.name == 'plain' and fmt != tarfile.USTAR_FORMAT: info.uid = 3000000
    return info
with tarfile.open(sys.argv[2], 'w', format=fmt) as tar:
    for name in open(sys.argv[3], 'rb').read().split(b'\n'):
        if name:
            try: tar.add(os.fsdecode(name), recursive=False, filter=owner)
            except ValueError: pass  # what the format cannot hold
)";

struct Producer {
    std::string what;
    std::string tool;     // skipped when not installed
    std::string command;  // run in the tree; OUT, LIST, WORK and PRODUCER are set
    bool pax;             // keeps extended attributes and fractional times
};

const std::vector<Producer>& producers() {
    static const std::vector<Producer> rows = {
        {"GNU tar, gnu", "tar", "tar --format=gnu --no-recursion --owner=big:3000000 -cf \"$OUT\" -T \"$LIST\"", false},
        {"GNU tar, posix", "tar",
         "tar --format=posix --xattrs --no-recursion --owner=big:3000000 -cf \"$OUT\" -T \"$LIST\"", true},
        {"GNU tar, ustar", "tar", "tar --format=ustar --no-recursion -cf \"$OUT\" -T \"$LIST\"", false},
        {"bsdtar", "bsdtar", "bsdtar -c -n --uid 3000000 -f \"$OUT\" -T \"$LIST\"", true},
        {"bsdtar, pax", "bsdtar", "bsdtar -c -n --format pax --uid 3000000 -f \"$OUT\" -T \"$LIST\"", true},
        {"bsdtar, ustar", "bsdtar", "bsdtar -c -n --format ustar -f \"$OUT\" -T \"$LIST\"", false},
        {"tarfile, pax", "python3", "python3 \"$PRODUCER\" PAX_FORMAT \"$OUT\" \"$LIST\"", false},
        {"tarfile, ustar", "python3", "python3 \"$PRODUCER\" USTAR_FORMAT \"$OUT\" \"$LIST\"", false},
        {"tarfile, gnu", "python3", "python3 \"$PRODUCER\" GNU_FORMAT \"$OUT\" \"$LIST\"", false},
        {"git archive", "git",
         "git init -q \"$WORK/repo\" && git --git-dir=\"$WORK/repo/.git\" --work-tree=. add -A && "
         "git -c user.name=k -c user.email=k@k --git-dir=\"$WORK/repo/.git\" commit -qm tree && "
         "git --git-dir=\"$WORK/repo/.git\" archive --format=tar HEAD > \"$OUT\"",
         false},
    };
    return rows;
}

bool installed(const std::string& tool) { return test::shell("command -v " + tool + " >/dev/null", false) == 0; }

// Everything below a folder that an extraction restores, one line per fact,
// in name order.
std::string describeTree(const std::string& folder) {
    const std::string owners = geteuid() == 0 ? " %U %G" : "";
    const CommandResult run = test::runCommand(
        {"sh", "-c",
         "cd " + shellQuoted(folder) + " && export LC_ALL=C && find . -mindepth 1 -printf '%y %p %s %m %T@ %l" +
             owners + "\\n' | sort && find . -type f -print0 | sort -z | xargs -0r md5sum"
             " && find . -mindepth 1 -print0 | sort -z | xargs -0r getfattr -hd -m - 2>&1"
             " ; find . -type f -print0 | sort -z | xargs -0r getcap 2>&1"});
    return run.out;
}

// The names that a listing's lines end with (after five fields).
std::vector<std::string> listedNames(const std::string& listing) {
    std::vector<std::string> names;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        std::size_t at = 0;
        for (int field = 0; field < 5 && at != std::string::npos; ++field) {
            at = line.find_first_not_of(' ', at);
            at = line.find(' ', at);
        }
        names.push_back(at == std::string::npos ? line : line.substr(at + 1));
    }
    return names;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class TarProducersTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const std::string tree = *dir_ / "tree";
        for (const std::string& folder : {std::string("d101"), kDeepFolder, std::string(50, 'Q')}) {
            fs::create_directories(tree + "/" + folder);
        }
        for (const std::string& file : {std::string("plain"), std::string("frac"), k99, k100, k101Split, k101, k256Split,
                                        k256, kPaths[17], kPaths[18]}) {
            test::writeFile(tree + "/" + file, "contents of " + file + "\n");
        }
        fs::create_hard_link(tree + "/plain", tree + "/hard");
        fs::create_symlink("plain", tree + "/sym");
        fs::create_symlink(std::string(300, 't'), tree + "/longlink");
        fs::copy_file("/usr/bin/true", tree + "/exe");
        fs::permissions(tree + "/exe", fs::perms(0755));
        test::shell("touch -d @1577836800.5 " + shellQuoted(tree + "/frac"));
        const std::string quiet = " >/dev/null 2>&1";
        hasXattr_ = test::shell("setfattr -n user.test -v hello " + shellQuoted(tree + "/plain") + quiet, false) == 0;
        hasCapability_ = test::shell("setcap cap_net_raw+ep " + shellQuoted(tree + "/exe") + quiet, false) == 0;

        std::string list;
        for (const std::string& path : kPaths) list += path + "\n";
        test::writeFile(*dir_ / "list", list);
        test::writeFile(*dir_ / "producer.py", kPythonProducer);
    }

    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    static TempDir* dir_;
    static bool hasXattr_;
    static bool hasCapability_;
};

TempDir* TarProducersTest::dir_ = nullptr;
bool TarProducersTest::hasXattr_ = false;
bool TarProducersTest::hasCapability_ = false;

TEST_F(TarProducersTest, EveryProducerConvertsAndComesBackTheSame) {
    if (!hasXattr_) std::fprintf(stderr, "note: no user extended attributes here; not checked\n");
    if (!hasCapability_) std::fprintf(stderr, "note: no file capabilities here; not checked\n");
    int ran = 0;
    for (const Producer& producer : producers()) {
        SCOPED_TRACE(producer.what);
        if (!installed(producer.tool)) {
            std::fprintf(stderr, "note: %s not installed; row '%s' skipped\n", producer.tool.c_str(),
                         producer.what.c_str());
            continue;
        }
        ++ran;
        TempDir work;
        const std::string original = work / "original.tar";
        // Formats that cannot hold every member leave those out and say so.
        test::shell("cd " + shellQuoted(*dir_ / "tree") + " && OUT=" + shellQuoted(original) +
                        " LIST=" + shellQuoted(*dir_ / "list") + " WORK=" + shellQuoted(work.path()) + " PRODUCER=" +
                        shellQuoted(*dir_ / "producer.py") + " && (" + producer.command + ") 2>/dev/null",
                    false);
        ASSERT_TRUE(test::fileExists(original));

        const std::string indexed = work / "indexed.ktar";
        CommandResult run = test::runKotar({"-c", original, "-o", indexed});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");

        run = test::runKotar({"-t" + indexed});
        ASSERT_EQ(run.status, 0) << run.err;
        const CommandResult tarList = test::runCommand({"tar", "--quoting-style=literal", "-tf", original});
        EXPECT_EQ(listedNames(run.out), linesOf(tarList.out));

        const std::string back = work / "back.tar";
        run = test::runKotar({"-x", indexed, "-o", back});
        ASSERT_EQ(run.status, 0) << run.err;

        // The layout rules hold, and the executable sits on a page with the
        // page counts that readelf's view of it gives.
        const test::IndexedArchive archive = test::checkIndexedArchive(test::readFile(indexed), test::readFile(back));
        bool sawExecutable = false;
        for (const test::IndexedMember& member : archive.members) {
            if (member.name != "exe") continue;
            sawExecutable = true;
            EXPECT_EQ(member.type, '7');
            EXPECT_EQ(member.dataOffset % 4096, 0u);
            EXPECT_GT(member.layout.textPgs, 0u);
        }
        EXPECT_TRUE(sawExecutable);

        struct Extractor {
            std::string what;
            std::string command;
        };
        const Extractor extractors[] = {
            {"GNU tar", "tar --xattrs --xattrs-include='*' -xf"},
            {"bsdtar", "bsdtar -xpf"},
        };
        for (const Extractor& extractor : extractors) {
            SCOPED_TRACE(extractor.what);
            if (!installed(extractor.command.substr(0, extractor.command.find(' ')))) continue;
            std::string trees[2];
            const std::string sources[2] = {original, back};
            for (int i = 0; i < 2; ++i) {
                const std::string into = work / ("x" + std::to_string(i));
                fs::create_directories(into);
                test::shell(extractor.command + " " + shellQuoted(sources[i]) + " -C " + shellQuoted(into) +
                                " 2>/dev/null",
                            false);
                trees[i] = describeTree(into);
                fs::remove_all(into);
            }
            EXPECT_EQ(trees[1], trees[0]);
            // What only the kept pax records carry did arrive.
            if (producer.pax) {
                EXPECT_NE(trees[1].find("/frac 17 644 1577836800.5000000000"), std::string::npos);
                if (hasXattr_) {
                    EXPECT_NE(trees[1].find("user.test=\"hello\""), std::string::npos);
                }
                if (hasCapability_) {
                    EXPECT_NE(trees[1].find("cap_net_raw=ep"), std::string::npos);
                }
            }
        }
    }
    if (ran == 0) GTEST_SKIP() << "no tar producer installed";
}

}  // namespace
}  // namespace kotar
