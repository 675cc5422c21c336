// kotar -c over one tree as GNU tar, bsdtar, Python's tarfile and git
// archive write it, in each of their formats (a row is skipped where its
// producer is missing): kotar -t names what tar -t names, and GNU tar and
// bsdtar extract from what kotar -x gives back the same tree as from the
// original, nanosecond times, owners, xattrs and capabilities included.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/indexed_checker.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

namespace fs = std::filesystem;
using test::shellQuoted;

// Names of 99, 100, 101 and 256 bytes: some split into prefix and name
// (the deep file's prefix is 155 bytes, the most there is), some cannot.
// Folders end in '/'; each is followed by what it holds, so that tar sets
// its time once.
const std::string kDeep = std::string(50, 'A') + "/" + std::string(50, 'B') + "/" + std::string(53, 'C') + "/";
const std::vector<std::string> kEntries = {
    "plain", "frac", std::string(99, 'a'), std::string(100, 'b'), "d101/", "d101/" + std::string(96, 'c'),
    std::string(101, 'e'), kDeep.substr(0, 51), kDeep.substr(0, 102), kDeep, kDeep + std::string(100, 'N'), "Q/",
    "Q/" + std::string(254, 'R'), "h\xc3\xa9llo-w\xc3\xb6rld.txt", "\xe6\x97\xa5\xe6\x9c\xac.txt"};

constexpr char kPython[] = R"(import os, sys, tarfile
fmt = getattr(tarfile, sys.argv[1])
def owner(info):
    if info.name == 'plain' and fmt != tarfile.USTAR_FORMAT: info.uid = 3000000
    return info
with tarfile.open(sys.argv[2], 'w', format=fmt) as tar:
    for name in open(sys.argv[3], 'rb').read().split(b'\n')[:-1]:
        try: tar.add(os.fsdecode(name), recursive=False, filter=owner)
        except ValueError: pass
)";

struct Producer {
    const char* tool;
    const char* command;  // run in the tree with OUT, LIST and WORK set
    bool pax;             // keeps xattrs and fractional times
};
const Producer kProducers[] = {
    {"tar", "tar --format=gnu --no-recursion --owner=big:3000000 -cf $OUT -T $LIST", false},
    {"tar", "tar --format=posix --xattrs --no-recursion --owner=big:3000000 -cf $OUT -T $LIST", true},
    {"tar", "tar --format=ustar --no-recursion -cf $OUT -T $LIST", false},
    {"bsdtar", "bsdtar -c -n --uid 3000000 -f $OUT -T $LIST", true},
    {"bsdtar", "bsdtar -c -n --format pax --uid 3000000 -f $OUT -T $LIST", true},
    {"bsdtar", "bsdtar -c -n --format ustar -f $OUT -T $LIST", false},
    {"python3", "python3 $WORK/producer.py PAX_FORMAT $OUT $LIST", false},
    {"python3", "python3 $WORK/producer.py USTAR_FORMAT $OUT $LIST", false},
    {"python3", "python3 $WORK/producer.py GNU_FORMAT $OUT $LIST", false},
    {"git", "git init -q $WORK/r && git --git-dir=$WORK/r/.git --work-tree=. add -A && git -c user.name=k "
            "-c user.email=k@k --git-dir=$WORK/r/.git commit -qm t && git --git-dir=$WORK/r/.git archive HEAD >$OUT",
     false},
};

// Every fact an extraction restores, one line each, in name order.
constexpr char kDescribe[] =
    "cd \"$1\" && export LC_ALL=C && find . -mindepth 1 -printf '%y %p %s %m %T@ %l %U %G\\n' | sort && "
    "find . -type f -print0 | sort -z | xargs -0r md5sum && "
    "find . -mindepth 1 -print0 | sort -z | xargs -0r getfattr -hd -m - 2>&1; "
    "find . -type f -print0 | sort -z | xargs -0r getcap 2>&1";

std::string sh(const std::string& command, const std::string& argument = "") {
    return test::runCommand({"sh", "-c", command, "sh", argument}, "", {std::string("KOTAR=") + test::kotarBinary()}).out;
}
bool installed(const std::string& tool) { return test::shell("command -v " + tool + " >/dev/null", false) == 0; }

TEST(TarProducersTest, EveryProducerConvertsAndComesBackTheSame) {
    test::TempDir work;
    const std::string tree = work / "tree";
    std::string list;
    fs::create_directories(tree);
    for (const std::string& entry : kEntries) {
        if (entry.back() == '/') {
            fs::create_directories(tree + "/" + entry);
            list += entry.substr(0, entry.size() - 1) + "\n";
        } else {
            test::writeFile(tree + "/" + entry, "contents of " + entry + "\n");
            list += entry + "\n";
        }
    }
    fs::create_hard_link(tree + "/plain", tree + "/hard");
    fs::create_symlink("plain", tree + "/sym");
    fs::create_symlink(std::string(300, 't'), tree + "/longlink");
    fs::copy_file("/usr/bin/true", tree + "/exe");
    list += "hard\nsym\nlonglink\nexe\n";
    test::writeFile(work / "list", list);
    test::writeFile(work / "producer.py", kPython);
    test::shell("touch -d @1577836800.5 " + shellQuoted(tree + "/frac"));
    const bool xattrs =
        test::shell("setfattr -n user.test -v hello " + shellQuoted(tree + "/plain") + " 2>/dev/null", false) == 0;
    const bool caps = test::shell("setcap cap_net_raw+ep " + shellQuoted(tree + "/exe") + " 2>/dev/null", false) == 0;
    if (!xattrs || !caps) std::fprintf(stderr, "note: user xattrs (%d) or capabilities (%d) not checked here\n", xattrs, caps);

    for (const Producer& producer : kProducers) {
        SCOPED_TRACE(producer.command);
        if (!installed(producer.tool)) {
            std::fprintf(stderr, "note: %s is not installed; skipped\n", producer.tool);
            continue;
        }
        const std::string original = work / "original.tar", indexed = work / "indexed.ktar", back = work / "back.tar";
        fs::remove_all(work / "r");
        // Formats that cannot hold a member leave it out and complain.
        test::shell("cd " + shellQuoted(tree) + " && OUT=" + shellQuoted(original) + " LIST=" +
                        shellQuoted(work / "list") + " WORK=" + shellQuoted(work.path()) + " && " + producer.command +
                        " 2>/dev/null",
                    false);
        test::CommandResult run = test::runKotar({"-c", original, "-o", indexed});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(sh("\"$KOTAR\" -t\"$1\" | sed -E 's/^([^ ]+ +){5}//'", indexed),
                  sh("tar --quoting-style=literal -tf \"$1\"", original)) << "the listings differ";
        ASSERT_EQ(test::runKotar({"-x", indexed, "-o", back}).status, 0);

        // The executable sits on a page, with readelf's page counts.
        bool aligned = false;
        const test::IndexedArchive archive = test::checkIndexedArchive(test::readFile(indexed), test::readFile(back));
        for (const test::IndexedMember& member : archive.members) {
            aligned |= member.name == "exe" && member.type == '7' && member.dataOffset % 4096 == 0;
        }
        EXPECT_TRUE(aligned);

        for (const char* extract : {"tar --xattrs --xattrs-include='*' -xf", "bsdtar -xpf"}) {
            SCOPED_TRACE(extract);
            std::string trees[2];
            for (const std::string& source : {original, back}) {
                const std::string into = work / "x";
                fs::create_directories(into);
                test::shell(std::string(extract) + " " + shellQuoted(source) + " -C " + shellQuoted(into) + " 2>/dev/null",
                            false);
                trees[source == back] = sh(kDescribe, into);
                fs::remove_all(into);
            }
            EXPECT_EQ(trees[1], trees[0]);
            // What only the kept records carry did arrive.
            EXPECT_TRUE(!producer.pax || trees[1].find(" 1577836800.5000000000 ") != std::string::npos);
            EXPECT_TRUE(!producer.pax || !xattrs || trees[1].find("user.test=\"hello\"") != std::string::npos);
            EXPECT_TRUE(!producer.pax || !caps || trees[1].find("cap_net_raw=ep") != std::string::npos);
        }
    }
}

}  // namespace
}  // namespace kotar
