// kotar -c over one tree as GNU tar, bsdtar, Python's tarfile and git
// archive write it, in each of their formats and special forms (sparse
// files, volume labels, ids and times beyond octal; a row is skipped where
// its producer is missing): kotar -t lists what tar -tv lists, and GNU tar,
// bsdtar and Python's tarfile extract from what kotar -x gives back the same
// tree as from the original, nanosecond times, owners, xattrs and
// capabilities included.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/indexed_checker.h"
#include "tests/support/producer_tree.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::shellQuoted;

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

constexpr char kPythonExtract[] = R"(import sys, tarfile
with tarfile.open(sys.argv[1]) as tar: tar.extractall(sys.argv[3])
)";

// A copy of the tree with times that octal cannot hold, for the commands
// that follow it.
#define OLD_AND_FAR "rm -rf $WORK/t && cp -a . $WORK/t && cd $WORK/t && touch -d '1950-06-01 12:00' plain && " \
                    "touch -d '2300-01-01 00:00' d101 && "

struct Producer {
    const char* tool;
    const char* command;  // run in the tree with OUT, LIST and WORK set
    bool pax;             // keeps xattrs and fractional times
    bool globalLabel = false;  // a volume label in a global header, which kotar -t does not list
};
const Producer kProducers[] = {
    {"tar", "tar --format=gnu -S --no-recursion -cf $OUT -T $LIST", false},
    {"tar", "tar --posix -S --sparse-version=0.0 --xattrs --no-recursion -cf $OUT -T $LIST", true},
    {"tar", "tar --posix -S --sparse-version=0.1 --xattrs --no-recursion -cf $OUT -T $LIST", true},
    {"tar", "tar --posix -S --sparse-version=1.0 --xattrs --no-recursion -cf $OUT -T $LIST", true},
    {"tar", "tar --format=gnu -V 'My label' --no-recursion -cf $OUT -T $LIST", false},
    {"tar", "tar --posix -V 'My label' --no-recursion -cf $OUT -T $LIST", false, true},
    {"tar", OLD_AND_FAR "tar --posix --owner=big:3000000 --group=grp:3000001 --no-recursion -cf $OUT -T $LIST", false},
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

// Extracts archive $2 with command $1 into a new folder $3, then prints every
// fact the extraction restored, one line each, in name order; $4 is how a
// symbolic link's time is shown (as %T@ when the extraction sets it).
constexpr char kExtractAndDescribe[] =
    "set -f; mkdir \"$3\" && $1 \"$2\" -C \"$3\" 2>/dev/null; cd \"$3\" && export LC_ALL=C && "
    "find . -mindepth 1 \\( -type l -printf \"%y %p %s %m $4 %l %U %G\\n\" \\) -o "
    "-printf '%y %p %s %m %T@ %l %U %G\\n' | sort && find . -type f -print0 | sort -z | "
    "xargs -0r md5sum && find . -mindepth 1 -print0 | sort -z | xargs -0r getfattr -hd -m - 2>&1; "
    "find . -type f -print0 | sort -z | xargs -0r getcap 2>&1; cd .. && rm -rf \"$3\"";

std::string sh(const std::string& command, const std::vector<std::string>& arguments = {}) {
    std::vector<std::string> argv = {"sh", "-c", command, "sh"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return test::runCommand(argv, "", {std::string("KOTAR=") + test::kotarBinary()}).out;
}

TEST(TarProducersTest, EveryProducerConvertsAndComesBackTheSame) {
    test::TempDir work;
    const std::string tree = work / "tree";
    const test::ProducerTree made = test::makeProducerTree(tree);
    const bool xattrs = made.xattrs;
    const bool caps = made.caps;
    test::writeFile(work / "list", made.list);
    test::writeFile(work / "producer.py", kPython);
    test::writeFile(work / "extract.py", kPythonExtract);

    const std::string original = work / "original.tar", indexed = work / "indexed.ktar", back = work / "back.tar";
    for (const Producer& producer : kProducers) {
        SCOPED_TRACE(producer.command);
        if (sh("command -v \"$1\"", {producer.tool}).empty()) {
            std::fprintf(stderr, "note: %s is not installed; skipped\n", producer.tool);
            continue;
        }
        // Formats that cannot hold a member leave it out and complain.
        sh(std::string("cd \"$1\" && OUT=\"$2\" LIST=\"$3\" WORK=\"$4\" && ") + producer.command + " 2>/dev/null",
           {tree, original, work / "list", work.path()});
        const test::CommandResult run = test::runKotar({"-c", original, "-o", indexed});
        ASSERT_EQ(run.status, 0) << run.err;
        // The listing's lines are tar's, but for the columns' widths, the
        // link targets and label suffixes that tar adds, and the type letter
        // of an aligned executable.
        EXPECT_EQ(sh("TZ=UTC \"$KOTAR\" -t\"$1\" | sed -E 's/ +/ /g; s/^m/-/'", {indexed}),
                  sh("TZ=UTC tar --quoting-style=literal --numeric-owner -tvf \"$1\" | sed -E 's/ +/ /g; "
                     "s/ -> .*//; s/ link to .*//; s/--Volume Header--$//; s/--Continued at byte [0-9]+--$//'" +
                         std::string(producer.globalLabel ? " | grep -v '^V'" : ""),
                     {original}));
        ASSERT_EQ(test::runKotar({"-x", indexed, "-o", back}).status, 0);

        // The layout holds; the executable sits on a page, with readelf's page counts.
        const test::IndexedArchive archive = test::checkIndexedArchive(test::readFile(indexed), test::readFile(back));
        EXPECT_TRUE(std::any_of(archive.members.begin(), archive.members.end(), [](const test::IndexedMember& m) {
            return m.name == "exe" && m.type == '7' && m.dataOffset % 4096 == 0;
        }));
        const std::string python = "python3 " + (work / "extract.py");
        for (const std::string& extract : {std::string("tar --xattrs --xattrs-include=* -xf"), std::string("bsdtar -xpf"),
                                           python}) {
            SCOPED_TRACE(extract);
            // Python's tarfile leaves a symbolic link the time of its making.
            const bool byPython = extract == python;
            const std::string linkTime = byPython ? "-" : "%T@";
            const std::string from = sh(kExtractAndDescribe, {extract, original, work / "x", linkTime});
            const std::string got = sh(kExtractAndDescribe, {extract, back, work / "x", linkTime});
            EXPECT_EQ(got, from);
            // Sparse files come back whole, whatever form they were stored in.
            EXPECT_NE(got.find(" ./holes 4194304 "), std::string::npos);
            EXPECT_NE(got.find(" ./holeend 2097152 "), std::string::npos);
            // What only the kept records carry did arrive (Python's tarfile
            // restores no extended attributes).
            EXPECT_TRUE(!producer.pax || got.find(" 1577836800.5000000000 ") != std::string::npos);
            EXPECT_TRUE(!producer.pax || !xattrs || byPython || got.find("user.test=\"hello\"") != std::string::npos);
            EXPECT_TRUE(!producer.pax || !caps || byPython || got.find("cap_net_raw=ep") != std::string::npos);
        }
    }
}

}  // namespace
}  // namespace kotar
