// kotarfs's tree, built from archives made here, without mounting: names
// folded or left out, the later of two members winning, hard links made
// before a name is replaced, folders made up, pax records ('x' and 'g')
// applied, owners mapped.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <climits>
#include <string>
#include <vector>

#include "kotar/reader.hpp"
#include "kotarfs/file_data.h"
#include "kotarfs/inode_tree.h"
#include "tests/support/indexed_builder.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::IndexedEntry;
using test::plainHeader;

std::vector<std::string> warnings;
void keep(const std::string& message) { warnings.push_back(message); }

IndexedEntry file(const std::string& name, const std::string& data, unsigned mode = 0644) {
    return {.header = plainHeader({.name = name, .mode = mode, .size = data.size()}), .data = data};
}
IndexedEntry link(const std::string& name, char type, const std::string& target) {
    return {.header = plainHeader({.name = name, .typeflag = type, .linkname = target})};
}
IndexedEntry device(const std::string& name, unsigned major, unsigned minor) {
    return {.header = plainHeader({.name = name, .typeflag = '3'}, [=](HeaderBlock& block) {
                test::setOctalField(block, field::devmajor, major);
                test::setOctalField(block, field::devminor, minor);
            })};
}
IndexedEntry pax(char type, const std::string& records) {
    return {.header = plainHeader({.name = "pax", .size = records.size(), .typeflag = type}), .data = records};
}

struct Built {
    Archive archive;
    kotarfs::InodeTree tree;

    explicit Built(const std::vector<IndexedEntry>& entries, kotarfs::TreeOptions options = {}) {
        test::TempDir dir;
        test::writeFile(dir / "a.ktar", test::indexedArchive(entries));
        EXPECT_EQ(archive.open((dir / "a.ktar").c_str()), KOTAR_OK);
        struct stat madeUp {};
        madeUp.st_uid = 77;
        warnings.clear();
        tree.build(*archive.get(), options, madeUp, keep);
    }

    // The node at a slash-separated path, null when there is none.
    const kotarfs::Node* at(const std::string& path) const {
        kotarfs::Inode inode = kotarfs::kRootInode;
        std::size_t from = 0;
        while (from < path.size()) {
            const std::size_t slash = std::min(path.find('/', from), path.size());
            inode = tree.lookup(inode, path.substr(from, slash - from));
            if (inode == 0) return nullptr;
            from = slash + 1;
        }
        return tree.find(inode);
    }
    std::string contents(const std::string& path) const {
        const kotarfs::Node* node = at(path);
        if (node == nullptr) return "(none)";
        std::string out(node->size, '\0');
        return kotarfs::readFileData(*archive.get(), *node, tree.pieces(*node), 0, out.data(), out.size()) < 0 ? "(EIO)"
                                                                                                               : out;
    }
};

TEST(InodeTree, NamesAsTarExtractsThem) {
    // No file system takes a name of more than NAME_MAX bytes: GNU tar makes
    // the directories before it, then fails.
    const std::string fits(255, 'k');
    const std::string tooLong(256, 'n');
    // Nor does the kernel take a whole path of PATH_MAX bytes or more; a
    // leading "/" is not handed over.
    std::string deepest(NAME_MAX, 'p');  // PATH_MAX - 1 bytes
    for (int i = 1; i < 16; ++i) deepest += "/" + std::string(NAME_MAX, 'p');
    const Built built({file("./a", "a"), file("/abs", "abs"), file("d/e/f", "f"), file("b/../c", "escape"),
                       file("..", "up"), link("dir/", '5', ""), file("old/", ""), file("old/in", "o"),
                       link("nul/", '\0', ""), file("nul/in", "n"), pax('x', test::paxRecord("path", fits)),
                       file("fits", "fits"), pax('x', test::paxRecord("path", "made/" + tooLong + "/in")),
                       file("in", "in"), pax('x', test::paxRecord("path", "/" + deepest)), file("deepest", "4095"),
                       pax('x', test::paxRecord("path", "z/" + deepest)), file("deep", "4097"),
                       pax('x', test::paxRecord("linkpath", "/" + deepest)), link("near", '1', "x"),
                       pax('x', test::paxRecord("linkpath", "./" + deepest)), link("far", '1', "x"),
                       // An old renaming list is an unknown type, so a file.
                       {.header = plainHeader({.name = "renames", .size = 2, .typeflag = 'N'}), .data = "N\n"},
                       // A name ending in "." names a directory, made, and no other file.
                       file("dot/.", "x"), link("a/./", '2', "t"), link("abs/.", '5', "")});
    EXPECT_EQ(built.contents("a"), "a");
    EXPECT_EQ(built.contents("abs"), "abs");
    EXPECT_EQ(built.contents("d/e/f"), "f");
    EXPECT_EQ(built.at("c"), nullptr);
    EXPECT_EQ(built.at("b"), nullptr);  // nothing of a member left out is made
    ASSERT_NE(built.at("dir"), nullptr);
    EXPECT_TRUE(S_ISDIR(built.at("dir")->mode));
    // A regular file's name ending in "/" is a directory (types '0' and NUL).
    EXPECT_EQ(built.contents("old/in"), "o");
    EXPECT_EQ(built.contents("nul/in"), "n");
    // Made-up folders: 0755, the mounting user's, with a link per subfolder.
    EXPECT_EQ(built.at("d")->mode, S_IFDIR | 0755u);
    EXPECT_EQ(built.at("d")->uid, 77u);
    EXPECT_EQ(built.at("d")->links, 3u);
    EXPECT_EQ(built.contents(fits), "fits");
    ASSERT_NE(built.at("made"), nullptr);
    EXPECT_EQ(built.at("made")->links, 2u);
    EXPECT_EQ(built.contents(deepest), "4095");
    EXPECT_EQ(built.contents("near"), "4095");
    EXPECT_EQ(built.at("z"), nullptr);
    EXPECT_EQ(built.at("far"), nullptr);
    EXPECT_EQ(built.contents("renames"), "N\n");
    EXPECT_EQ(built.at("dot")->mode, S_IFDIR | 0755u);
    EXPECT_EQ(built.contents("a"), "a");
    EXPECT_EQ(warnings, (std::vector<std::string>{"b/../c: Member name contains '..'", "..: Member name contains '..'",
                                                  "made/" + tooLong + "/in: Cannot open: File name too long",
                                                  "z/" + deepest + ": Cannot open: File name too long",
                                                  "far: Cannot hard link to './" + deepest + "'",
                                                  "dot/.: Cannot open: File exists", "a/./: Cannot open: Not a directory",
                                                  "abs/.: Cannot open: Not a directory"}));
}

TEST(InodeTree, LaterMembersWinAndEarlierHardLinksKeepTheirFile) {
    // No symbolic link to an empty target or to one of PATH_MAX bytes or
    // more, which symlink(2) refuses.
    const std::string longest(4095, 't');
    const Built built({file("x", "first"), link("h", '1', "x"), file("x", "second"), link("s", '2', "x"),
                       link("nowhere", '1', "missing"), file("full/inner", "i"), file("full", "not a folder"),
                       link("empty", '2', ""), pax('x', test::paxRecord("linkpath", longest + "t")),
                       link("long", '2', "x"), pax('x', test::paxRecord("linkpath", longest)), link("longest", '2', "x"),
                       // A hard link's target is what follows its last "..",
                       // as GNU tar takes it; one ending in "/" or "/." is a
                       // directory's, which linkat(2) refuses.
                       file("y", "why"), link("up", '1', "any/../y"), link("slashed", '1', "y/"),
                       link("dotted", '1', "./y/."),
                       // A link to a directory is refused once GNU tar has
                       // removed what had the link's name.
                       file("gone", "g"), link("gone", '1', "full"), file("gone too", "g"), link("gone too", '1', "full/"),
                       // Device numbers past Linux's 12-bit major and 20-bit
                       // minor, which mknod(2) refuses.
                       device("x", 0x1000, 0), device("dev", 0xfff, 0xfffff),
                       // A target below a file fails before the link's
                       // directories are made (ENOTDIR, not ENOENT).
                       link("unmade/h", '1', "y/in")});
    EXPECT_EQ(built.contents("x"), "second");
    EXPECT_EQ(built.contents("h"), "first");
    EXPECT_EQ(built.at("h")->links, 1u);
    EXPECT_EQ(built.at("x")->links, 1u);
    EXPECT_EQ(built.at("s")->target, "x");
    EXPECT_EQ(built.at("s")->mode, S_IFLNK | 0777u);  // whatever the header says, as Linux makes them
    EXPECT_EQ(built.at("nowhere"), nullptr);
    EXPECT_EQ(built.at("empty"), nullptr);
    EXPECT_EQ(built.at("long"), nullptr);
    ASSERT_NE(built.at("longest"), nullptr);
    EXPECT_EQ(built.at("longest")->size, longest.size());
    EXPECT_EQ(built.contents("up"), "why");
    EXPECT_EQ(built.at("y")->links, 2u);
    EXPECT_EQ(built.at("slashed"), nullptr);
    EXPECT_EQ(built.at("dotted"), nullptr);
    EXPECT_EQ(built.at("gone"), nullptr);
    EXPECT_EQ(built.contents("full/inner"), "i");  // a folder that is not empty stays
    // Listed once each, where the archive first names them.
    std::vector<std::string> listed;
    for (std::size_t i = 0; const kotarfs::Entry* entry = built.tree.listed(kotarfs::kRootInode, i); ++i) {
        listed.emplace_back(entry->name);
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"x", "h", "s", "full", "longest", "y", "up", "dev"}));
    ASSERT_EQ(warnings.size(), 10u);
    EXPECT_EQ(warnings[0], "nowhere: Cannot hard link to 'missing'");
    EXPECT_EQ(warnings[1], "full: Cannot replace a directory that is not empty");
    EXPECT_EQ(warnings[2], "empty: Cannot create symlink to '': No such file or directory");
    EXPECT_TRUE(warnings[3] == "long: Cannot create symlink to '" + longest + "t': File name too long");
    EXPECT_EQ(warnings[4], "slashed: Cannot hard link to 'y/'");
    EXPECT_EQ(warnings[5], "dotted: Cannot hard link to './y/.'");
    EXPECT_EQ(warnings[7], "gone too: Cannot hard link to 'full/'");
    EXPECT_EQ(warnings[8], "x: Cannot mknod: Invalid argument");
    EXPECT_EQ(warnings[9], "unmade/h: Cannot hard link to 'y/in'");
    EXPECT_EQ(built.at("dev")->device, makedev(0xfff, 0xfffff));
}

TEST(InodeTree, PaxRecordsApplyAndOwnersMap) {
    const std::string next = test::paxRecord("path", "renamed") + test::paxRecord("mtime", "1577836800.25") +
                             test::paxRecord("uid", "3000000") + test::paxRecord("SCHILY.xattr.user.k", "v\n1") +
                             test::paxRecord(std::string("SCHILY.xattr.user.a\0b", 21), "left out") +
                             // Past Linux's xattr limits, which setxattr(2) refuses.
                             test::paxRecord("SCHILY.xattr.user." + std::string(251, 'n'), "left out") +
                             test::paxRecord("SCHILY.xattr.user.large", std::string(65537, 'v')) +
                             test::paxRecord("SCHILY.xattr.user." + std::string(250, 'n'), "255") +
                             test::paxRecord("SCHILY.xattr.user.largest", std::string(65536, 'v')) +
                             // Nor a name outside its namespaces, or a namespace alone.
                             test::paxRecord("SCHILY.xattr.foo", "left out") + test::paxRecord("SCHILY.xattr.user.", "") +
                             test::paxRecord("SCHILY.xattr.system.posix_acl_access", "left out") +
                             // Nor a capability of a revision the kernel refuses (1).
                             test::paxRecord("SCHILY.xattr.security.capability", std::string("\0\0\0\1", 4) + std::string(8, '\0'));
    const std::string global = test::paxRecord("gid", "4000000");
    // Names and targets end at a NUL, as GNU tar reads them.
    const std::string cut = test::paxRecord("path", std::string("cut\0off", 7)) +
                            test::paxRecord("linkpath", std::string("to\0x", 4));
    {
        // A directory named again keeps the xattrs it had and takes the new.
        // Empty values give the header's fields back, over the global ones.
        const std::string emptied = test::paxRecord("path", "") + test::paxRecord("gid", "");
        const Built built({pax('g', global), pax('x', next), file("stored", "data"), file("other", "o"), pax('x', cut),
                           link("link", '2', "x"), pax('x', emptied), file("named", "n"),
                           pax('x', test::paxRecord("SCHILY.xattr.user.first", "1") +
                                        test::paxRecord("SCHILY.xattr.user.both", "a")),
                           link("dir", '5', ""),
                           pax('x', test::paxRecord("SCHILY.xattr.user.both", "b") +
                                        test::paxRecord("SCHILY.xattr.user.second", "2")),
                           link("dir/", '5', ""),
                           // Digits past the ninth take a time before 1970 a
                           // nanosecond back, as GNU tar rounds it.
                           pax('x', test::paxRecord("mtime", "-1.5000000001")), file("early", "e"),
                           // An owner chown(2) takes as "unchanged" is the
                           // mounting user's, whose file GNU tar leaves it.
                           pax('x', test::paxRecord("uid", "4294967295") + test::paxRecord("gid", "4294967295")),
                           file("unowned", "u"),
                           // A directory named again keeps the owner it had.
                           pax('x', test::paxRecord("uid", "4294967295")), link("dir", '5', ""),
                           // Linux keeps user.* xattrs only on files and
                           // directories: getxattr(2) would not read them.
                           pax('x', test::paxRecord("SCHILY.xattr.user.u", "1") +
                                        test::paxRecord("SCHILY.xattr.trusted.t", "2")),
                           link("xattrLink", '2', "x"),
                           // A 'g' entry's records replace all those before.
                           pax('g', test::paxRecord("uid", "5000000")), file("regloballed", "r"),
                           // Solaris tar's 'X' entry is an 'x' entry.
                           pax('X', test::paxRecord("path", "solaris")), file("unnamed", "s")});
        EXPECT_EQ(built.contents("solaris"), "s");
        EXPECT_EQ(built.at("pax"), nullptr);
        EXPECT_EQ(built.at("regloballed")->uid, 5000000u);
        EXPECT_EQ(built.at("regloballed")->gid, 1000u);
        EXPECT_EQ(built.tree.xattrs(*built.at("xattrLink")), (kotarfs::Xattrs{{"trusted.t", "2"}}));
        EXPECT_EQ(built.at("unowned")->uid, 77u);
        EXPECT_EQ(built.at("unowned")->gid, 0u);
        EXPECT_EQ(built.at("dir")->uid, 1000u);
        EXPECT_EQ(built.at("early")->mtimeSeconds, -2);
        EXPECT_EQ(built.at("early")->mtimeNanoseconds, 499999999u);
        EXPECT_EQ(built.tree.xattrs(*built.at("dir")),
                  (kotarfs::Xattrs{{"user.first", "1"}, {"user.both", "b"}, {"user.second", "2"}}));
        ASSERT_NE(built.at("cut"), nullptr);
        EXPECT_EQ(built.at("cut")->target, "to");
        EXPECT_EQ(built.at("cut")->size, 2u);
        const kotarfs::Node* renamed = built.at("renamed");
        ASSERT_NE(renamed, nullptr);
        EXPECT_EQ(built.at("stored"), nullptr);
        EXPECT_EQ(renamed->mtimeSeconds, 1577836800);
        EXPECT_EQ(renamed->mtimeNanoseconds, 250000000u);
        EXPECT_EQ(renamed->uid, 3000000u);
        EXPECT_EQ(renamed->gid, 4000000u);
        EXPECT_EQ(built.tree.xattrs(*renamed),
                  (kotarfs::Xattrs{{"user.k", "v\n1"},  // not "user.a\0b"
                                   {"user." + std::string(250, 'n'), "255"},
                                   {"user.largest", std::string(65536, 'v')}}));
        // The 'x' records were for one member; the 'g' record is for all.
        EXPECT_EQ(built.at("other")->uid, 1000u);
        EXPECT_EQ(built.at("other")->gid, 4000000u);
        ASSERT_NE(built.at("named"), nullptr);
        EXPECT_EQ(built.at("named")->gid, 1000u);
    }
    const Built mapped({pax('x', next), file("stored", "data"), file("other", "o")}, {.uid = 5, .gid = 6});
    for (const char* name : {"renamed", "other"}) {
        EXPECT_EQ(mapped.at(name)->uid, 5u) << name;
        EXPECT_EQ(mapped.at(name)->gid, 6u) << name;
    }
}

// Pax sparse maps of formats 0.1 and 1.0: holes read as zeros; a map that
// runs past the data fails its reads.
TEST(InodeTree, PaxSparseFiles) {
    const std::string map10 = "2\n2\n3\n8\n2\n";
    const std::string data10 = map10 + std::string(512 - map10.size(), '\0') + "abcde";
    const Built built({pax('x', test::paxRecord("GNU.sparse.major", "1") + test::paxRecord("GNU.sparse.minor", "0") +
                                    test::paxRecord("GNU.sparse.name", "one") + test::paxRecord("GNU.sparse.realsize", "12")),
                       file("GNUSparseFile.0/one", data10),
                       pax('x', test::paxRecord("GNU.sparse.map", "1,2,5,1") + test::paxRecord("GNU.sparse.size", "7") +
                                    test::paxRecord("GNU.sparse.name", "two")),
                       file("GNUSparseFile.0/two", "xyz"),
                       pax('x', test::paxRecord("GNU.sparse.map", "0,9") + test::paxRecord("GNU.sparse.size", "9") +
                                    test::paxRecord("GNU.sparse.name", "bad")),
                       file("GNUSparseFile.0/bad", "short"),
                       // A size past off_t's, which GNU tar does not take either.
                       pax('x', test::paxRecord("GNU.sparse.size", "9223372036854775808") +
                                    test::paxRecord("GNU.sparse.map", "0,2") + test::paxRecord("GNU.sparse.name", "huge")),
                       file("GNUSparseFile.0/huge", "ab")});
    EXPECT_EQ(built.contents("one"), std::string("\0\0abc\0\0\0de\0\0", 12));
    EXPECT_EQ(built.contents("two"), std::string("\0xy\0\0z\0", 7));
    EXPECT_EQ(built.contents("bad"), "(EIO)");
    ASSERT_LE(built.at("huge")->size, static_cast<std::uint64_t>(INT64_MAX));
    EXPECT_EQ(built.contents("huge"), "(EIO)");
    EXPECT_EQ(warnings, (std::vector<std::string>{"bad: damaged sparse map; its reads fail",
                                                  "huge: damaged sparse map; its reads fail"}));
}

}  // namespace
}  // namespace kotar
