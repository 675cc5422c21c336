// kotarfs, mounted for real: the producer table's tree (with a sparse file,
// devices and a FIFO) archived by GNU tar, converted, then mounted as a
// ktar, a kgz and a zstd archive, shows what GNU tar's extraction of the
// same tar shows; programs run from a mount with their shared libraries; a
// kgz mount reads in reverse and from several threads; damage refuses the
// mount or fails the read. Skipped, with the reason, where FUSE is missing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fuse_mount.h"
#include "tests/support/producer_tree.h"
#include "tests/support/test_support.h"

namespace kotar {
namespace {

using test::CommandResult;
using test::FuseMount;
using test::TempDir;
using test::shellQuoted;

#define SKIP_WITHOUT_FUSE()                                                              \
    do {                                                                                 \
        if (const std::string missing = test::fuseMissing(); !missing.empty()) {         \
            GTEST_SKIP() << "kotarfs needs FUSE: " << missing;                           \
        }                                                                                \
    } while (false)

std::string sh(const std::string& command, const std::vector<std::string>& arguments = {}) {
    std::vector<std::string> argv = {"sh", "-c", command, "sh"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const CommandResult result = test::runCommand(argv);
    EXPECT_EQ(result.status, 0) << command << "\n" << result.err;
    return result.out;
}

// Every fact of the tree in $1, one line each in name order: type, name,
// size (not of folders), mode, time to the nanosecond, link target, owners,
// link count; device numbers; contents; xattrs; capabilities.
constexpr char kDescribe[] =
    "cd \"$1\" && export LC_ALL=C && "
    "find . -mindepth 1 \\( -type d -printf '%y %p %m %T@ %U %G %n\\n' \\) -o -printf '%y %p %s %m %T@ %l %U %G %n\\n' | sort && "
    "find . \\( -type b -o -type c \\) -exec stat -c '%n %t:%T' {} + | sort && "
    "find . -type f -print0 | sort -z | xargs -0r md5sum && "
    "find . -mindepth 1 -print0 | sort -z | xargs -0r getfattr -hd -m - 2>&1; "
    "find . -type f -print0 | sort -z | xargs -0r getcap 2>&1; true";

// The producer tree and more: a sparse file, a FIFO, a character and a
// block device, a private folder, a second member of one name.
struct Source {
    TempDir work;
    std::string tree = work / "tree";
    test::ProducerTree made = test::makeProducerTree(tree);
    std::string list;

    Source() {
        list = made.list;
        sh("cd \"$1\" && truncate -s 3M sparse && printf middle | dd of=sparse bs=1 seek=1000000 conv=notrunc 2>/dev/null"
           " && printf end >> sparse && mkfifo fifo && mkdir -m 700 private && echo x > private/file"
           " && touch -d @1600000000.123456789 private/file private",
           {tree});
        list += "sparse\nfifo\nprivate\nprivate/file\n";
        if (sh("cd \"$1\" && mknod chr c 1 3 2>/dev/null && mknod blk b 7 200 2>/dev/null && echo y; true", {tree}) == "y\n") {
            list += "chr\nblk\n";
        }
        test::writeFile(work / "list", list);
    }
};

struct Producer {
    const char* name;
    const char* tar;  // run in the tree with $1 the output and $2 the list
};
const Producer kProducers[] = {
    {"GNU format", "tar --format=gnu --sparse --no-recursion --owner=big:3000000 -cf \"$1\" -T \"$2\""},
    {"pax format", "tar --format=posix --sparse --xattrs --xattrs-include='*' --no-recursion --owner=big:3000000 "
                   "-cf \"$1\" -T \"$2\""},
};

struct Form {
    const char* name;
    const char* compress;  // from the ktar $1 to $2
};
const Form kForms[] = {
    {"ktar", "cp \"$1\" \"$2\""},
    {"kgz", "gzip -c \"$1\" > \"$2\""},
    {"zstd", "zstd -q -c \"$1\" > \"$2\""},
};

// Calls as programs make them on the mount, answered as the kernel's
// read-only file systems (squashfs, ext4 mounted ro) answer them.
struct Call {
    const char* what;
    std::string (*call)(const std::string& root);  // what it gives, or its error
    const char* expected;
};
const Call kCalls[] = {
    {"lstat of a symbolic link (300 bytes) counts no blocks",
     [](const std::string& root) {
         struct stat info {};
         return lstat((root + "/longlink").c_str(), &info) != 0 ? std::strerror(errno)
                                                                 : std::to_string(info.st_blocks) + " blocks";
     },
     "0 blocks"},
    {"stat of a name past NAME_MAX",
     [](const std::string& root) {
         struct stat info {};
         return std::string(stat((root + "/" + std::string(256, 'n')).c_str(), &info) != 0 ? std::strerror(errno) : "found");
     },
     "File name too long"},
    {"SEEK_HOLE and SEEK_DATA of a file whose data ends in a hole",
     [](const std::string& root) {
         const int fd = open((root + "/holeend").c_str(), O_RDONLY);
         const off_t hole = lseek(fd, 0, SEEK_HOLE);
         const std::string found = hole > 0 && hole < 2 << 20 && lseek(fd, hole, SEEK_DATA) < 0 ? std::strerror(errno) : "no hole";
         close(fd);
         return "hole, then " + found;
     },
     "hole, then No such device or address"},
};

TEST(Kotarfs, MountShowsWhatTarExtracts) {
    SKIP_WITHOUT_FUSE();
    Source source;
    for (const Producer& producer : kProducers) {
        SCOPED_TRACE(producer.name);
        const std::string tar = source.work / "in.tar";
        sh(std::string("cd ") + shellQuoted(source.tree) + " && " + producer.tar, {tar, source.work / "list"});
        sh("mkdir \"$2\" && tar --xattrs --xattrs-include='*' --numeric-owner -xpf \"$1\" -C \"$2\"",
           {tar, source.work / "x"});
        const std::string extracted = sh(kDescribe, {source.work / "x"});
        sh("rm -rf \"$1\"", {source.work / "x"});
        const CommandResult create = test::runKotar({"-c", tar, "-o", source.work / "in.ktar"});
        ASSERT_EQ(create.status, 0) << create.err;
        // What only the pax records carry is there to compare.
        if (std::string(producer.name) == "pax format") {
            EXPECT_NE(extracted.find(" 1577836800.5000000000 "), std::string::npos);
            EXPECT_TRUE(!source.made.xattrs || extracted.find("user.test=\"hello\"") != std::string::npos);
            EXPECT_TRUE(!source.made.caps || extracted.find("cap_net_raw=ep") != std::string::npos);
        }
        for (const Form& form : kForms) {
            SCOPED_TRACE(form.name);
            const std::string archive = source.work / (std::string("mounted.") + form.name);
            sh(form.compress, {source.work / "in.ktar", archive});
            sh("mkdir -p \"$1\"", {source.work / "mnt"});
            FuseMount mount(archive, source.work / "mnt");
            ASSERT_TRUE(mount.mounted()) << mount.log();
            EXPECT_EQ(sh(kDescribe, {source.work / "mnt"}), extracted);
            for (const Call& c : kCalls) EXPECT_EQ(c.call(source.work / "mnt"), c.expected) << c.what;
            // A foreground mount ended as a service manager ends it: undone,
            // with 0.
            EXPECT_TRUE(&form == &kForms[0] ? mount.stop(SIGTERM) : mount.unmount()) << mount.log();
            EXPECT_EQ(mount.log(), "");
        }
    }
}

// -o uid=N,gid=N shows every owner as one user; other options reach FUSE.
TEST(Kotarfs, OwnersMappedAndOptionsPassed) {
    SKIP_WITHOUT_FUSE();
    Source source;
    sh(std::string("cd ") + shellQuoted(source.tree) + " && " + kProducers[1].tar,
       {source.work / "in.tar", source.work / "list"});
    ASSERT_EQ(test::runKotar({"-c", source.work / "in.tar", "-o", source.work / "in.ktar"}).status, 0);
    sh("mkdir -p \"$1\"", {source.work / "mnt"});
    FuseMount mount(source.work / "in.ktar", source.work / "mnt", {"-o", "uid=1234,gid=5678,allow_other"});
    ASSERT_TRUE(mount.mounted()) << mount.log();
    EXPECT_EQ(sh("find \"$1\" -mindepth 1 -printf '%U:%G\\n' | sort -u", {source.work / "mnt"}), "1234:5678\n");
    EXPECT_NE(test::readFile("/proc/self/mountinfo").find("allow_other"), std::string::npos);
    EXPECT_NE(sh("grep \" $1 \" /proc/self/mountinfo", {source.work / "mnt"}).find("fuse.kotarfs"), std::string::npos);
    // Ended before any read, while its first thread still answers alone.
    EXPECT_TRUE(mount.stop(SIGTERM)) << mount.log();

    // Command lines as a shell runs them ($1 kotarfs, $2 the archive, $3 the
    // mount point), which mount in the background: the mount shows the
    // archive, and its line in /proc/self/mountinfo holds `shown`.
    struct Line {
        const char* what;
        const char* command;
        const char* shown;
    };
    const Line lines[] = {
        {"standard streams closed", "\"$1\" \"$2\" \"$3\" <&- >&- 2>&-", " - fuse.kotarfs "},
        {"-- before the archive", "\"$1\" -o allow_other -- \"$2\" \"$3\"", ",default_permissions,allow_other"},
        {"-o max_read", "\"$1\" \"$2\" \"$3\" -o max_read=4096", ",max_read=4096"},
        {"-o fsname and subtype given", "\"$1\" \"$2\" \"$3\" -o fsname=tools,subtype=tools", " - fuse.tools tools "},
    };
    const std::string point = source.work / "mnt";
    for (const Line& line : lines) {
        SCOPED_TRACE(line.what);
        const CommandResult run =
            test::runCommand({"sh", "-c", line.command, "sh", test::kotarfsBinary(), source.work / "in.ktar", point});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(test::readFile(point + "/plain"), "contents of plain\n");
        EXPECT_NE(sh("grep \" $1 \" /proc/self/mountinfo; true", {point}).find(line.shown), std::string::npos);
        if (test::isMountPoint(point)) {
            EXPECT_EQ(test::runCommand({"fusermount3", "-u", point}).status, 0);
        }
    }
}

// The mount helper form, as mount(8) runs it for an /etc/fstab line of type
// fuse.kotarfs: mount.fuse3 ARCHIVE MOUNTPOINT -t kotarfs -o ro,..., which
// runs `kotarfs ARCHIVE MOUNTPOINT -o ro,...`; kotarfs goes to the background,
// and the warnings of the tree it builds there still reach the command's
// standard error.
TEST(Kotarfs, MountsAsAMountHelper) {
    SKIP_WITHOUT_FUSE();
    if (test::runCommand({"sh", "-c", "command -v mount.fuse3"}).status != 0) GTEST_SKIP() << "mount.fuse3 is missing";
    Source source;
    sh(std::string("cd ") + shellQuoted(source.tree) + " && " + kProducers[0].tar,
       {source.work / "in.tar", source.work / "list"});
    sh("python3 -c 'import sys, tarfile; tarfile.open(sys.argv[1], \"a\").addfile(tarfile.TarInfo(\"up/../escape\"))' "
       "\"$1\"",
       {source.work / "in.tar"});
    ASSERT_EQ(test::runKotar({"-c", source.work / "in.tar", "-o", source.work / "in.ktar"}).status, 0);
    const std::string point = source.work / "mnt";
    sh("mkdir -p \"$1\"", {point});
    struct Unmount {
        std::string point;
        ~Unmount() {
            if (test::isMountPoint(point) && test::runCommand({"fusermount3", "-u", point}).status != 0) {
                test::runCommand({"fusermount3", "-uz", point});
            }
        }
    } unmount{point};
    const std::string directory = std::string(test::kotarfsBinary()).substr(0, std::string(test::kotarfsBinary()).rfind('/'));
    // Through a pipe, which ends once the daemon has no more to say.
    const CommandResult helper = test::runCommand(
        {"sh", "-c", "{ mount.fuse3 \"$1\" \"$2\" -t kotarfs -o ro,noatime,nosuid 2>&1; echo \"status $?\"; } | sort",
         "sh", source.work / "in.ktar", point},
        "", {"PATH=" + directory + ":" + std::getenv("PATH")});
    EXPECT_EQ(helper.out, "kotarfs: up/../escape: Member name contains '..'\nstatus 0\n");
    EXPECT_TRUE(test::isMountPoint(point));
    EXPECT_EQ(test::readFile(point + "/plain"), "contents of plain\n");
    EXPECT_EQ(test::runCommand({"fusermount3", "-u", point}).status, 0);
    EXPECT_FALSE(test::isMountPoint(point));
}

// Text that compresses, but not to nothing.
std::string dataFile(std::size_t size, unsigned seed) {
    std::string data;
    std::uint32_t state = seed;
    while (data.size() < size) {
        state = state * 1103515245u + 12345u;
        data += std::to_string(state % 1000003) + ((state >> 20) % 7 == 0 ? "\n" : " ");
    }
    data.resize(size);
    return data;
}

// A program and its shared libraries, and 18 MiB of data in three files.
struct Programs {
    TempDir work;
    std::vector<std::string> data;

    Programs() {
        sh("mkdir -p \"$1/stage/bin\" \"$1/stage/lib\" && cp /usr/bin/ls \"$1/stage/bin/ls\" && "
           "ldd /usr/bin/ls | grep -o '/[^ ]*' | while read -r lib; do cp -L \"$lib\" \"$1/stage/lib/\"; done",
           {work.path()});
        for (unsigned i = 0; i < 3; ++i) {
            data.push_back(dataFile(6u << 20, i + 1));
            test::writeFile(work / ("stage/data" + std::to_string(i)), data.back());
        }
        sh("tar --format=gnu -cf \"$1/in.tar\" -C \"$1/stage\" bin lib data0 data1 data2", {work.path()});
        const CommandResult create = test::runKotar({"-c", work / "in.tar", "-o", work / "in.ktar"});
        EXPECT_EQ(create.status, 0) << create.err;
        sh("gzip -c \"$1/in.ktar\" > \"$1/in.kgz\" && zstd -q -c \"$1/in.ktar\" > \"$1/in.zst\" && mkdir \"$1/mnt\"",
           {work.path()});
    }
    std::string mnt() const { return work / "mnt"; }
};

// The mount's own loader runs the program with the mount's libraries.
TEST(Kotarfs, ProgramsRunFromTheMount) {
    SKIP_WITHOUT_FUSE();
    Programs programs;
    for (const char* archive : {"in.ktar", "in.kgz", "in.zst"}) {
        SCOPED_TRACE(archive);
        FuseMount mount(programs.work / archive, programs.mnt());
        ASSERT_TRUE(mount.mounted()) << mount.log();
        const std::string expected = sh("/usr/bin/ls --version");
        EXPECT_EQ(sh("\"$1/bin/ls\" --version", {programs.mnt()}), expected);
        EXPECT_EQ(sh("loader=$(ls \"$1\"/lib/ld-linux*) && \"$loader\" --library-path \"$1/lib\" \"$1/bin/ls\" --version",
                     {programs.mnt()}),
                  expected);
    }
}

// pread of `count` bytes at `offset`, or the errno.
std::string preadAt(int fd, std::size_t count, off_t offset, int& error) {
    std::string out(count, '\0');
    const ssize_t got = pread(fd, out.data(), count, offset);
    error = got < 0 ? errno : 0;
    out.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return out;
}

// Files from the last to the first, each read from its end backwards, then
// several threads at once, each over every file.
TEST(Kotarfs, CompressedMountsReadInReverseAndFromManyThreads) {
    SKIP_WITHOUT_FUSE();
    Programs programs;
    for (const char* archive : {"in.kgz", "in.zst"}) {
        SCOPED_TRACE(archive);
        FuseMount mount(programs.work / archive, programs.mnt());
        ASSERT_TRUE(mount.mounted()) << mount.log();
        for (std::size_t i = programs.data.size(); i-- > 0;) {
            const int fd = open((programs.mnt() + "/data" + std::to_string(i)).c_str(), O_RDONLY);
            ASSERT_GE(fd, 0);
            constexpr std::size_t kPiece = 1000003;
            for (std::size_t end = programs.data[i].size(); end > 0;) {
                const std::size_t start = end > kPiece ? end - kPiece : 0;
                int error = 0;
                EXPECT_TRUE(preadAt(fd, end - start, static_cast<off_t>(start), error) ==
                            programs.data[i].substr(start, end - start))
                    << i << " at " << start << " errno " << error;
                end = start;
            }
            close(fd);
        }
        std::vector<int> wrong(4, 0);
        std::vector<std::thread> readers;
        for (std::size_t t = 0; t < wrong.size(); ++t) {
            readers.emplace_back([&, t] {
                for (std::size_t k = 0; k < programs.data.size(); ++k) {
                    const std::size_t i = (k + t) % programs.data.size();
                    const std::string got =
                        test::runCommand({"dd", "if=" + programs.mnt() + "/data" + std::to_string(i), "bs=65536",
                                          "iflag=direct", "status=none"})
                            .out;
                    if (got != programs.data[i]) ++wrong[t];
                }
            });
        }
        for (std::thread& reader : readers) reader.join();
        EXPECT_EQ(wrong, std::vector<int>(wrong.size(), 0));
        EXPECT_TRUE(mount.unmount()) << mount.log();
        EXPECT_EQ(mount.log(), "");  // nothing from the sanitizers either
    }
}

// A damaged table refuses the mount with the library's message; damaged
// compressed data fails the read that meets it, and the mount stays up.
TEST(Kotarfs, DamageRefusesTheMountOrFailsTheRead) {
    SKIP_WITHOUT_FUSE();
    Programs programs;
    const std::string bad = programs.work / "bad.ktar";
    sh("cp \"$1\" \"$2\" && printf X | dd of=\"$2\" bs=1 seek=148 conv=notrunc 2>/dev/null",
       {programs.work / "in.ktar", bad});
    {
        FuseMount mount(bad, programs.mnt());
        EXPECT_FALSE(mount.mounted());
        EXPECT_EQ(mount.status(), 1);
        EXPECT_EQ(mount.log(), "kotarfs: " + bad + ": a header checksum mismatch\n");
        EXPECT_FALSE(test::isMountPoint(programs.mnt()));
    }
    // Without ISA-L (hidden in a mount namespace of its own; 77 where none
    // can be had, as in a chroot), a kgz is refused with the reason alone,
    // not as damaged.
    const bool namespaces = test::runCommand({"unshare", "-m", "true"}).status == 0;
    const CommandResult noIsal = !namespaces ? CommandResult{77, "", ""} : test::runCommand(
        {"unshare", "-m", "sh", "-c",
         "library=$(ldconfig -p | awk '/libisal\\.so\\.2 /{print $NF; exit}') && "
         "mount --bind /dev/null \"$(readlink -f \"$library\")\" 2>/dev/null || exit 77; exec \"$0\" \"$1\" \"$2\"",
         test::kotarfsBinary(), programs.work / "in.kgz", programs.mnt()});
    if (noIsal.status != 77) {
        EXPECT_EQ(noIsal.status, 1);
        EXPECT_EQ(noIsal.err.rfind("kotarfs: unable to load ISA-L: ", 0), 0u) << noIsal.err;
        EXPECT_EQ(std::count(noIsal.err.begin(), noIsal.err.end(), '\n'), 1) << noIsal.err;
    }
    const std::string damaged = programs.work / "damaged.kgz";
    sh("cp \"$1\" \"$2\" && printf XXXXXXXXXXXXXXXX | dd of=\"$2\" bs=1 seek=$(( $(stat -c %s \"$2\") * 3 / 4 )) "
       "conv=notrunc 2>/dev/null",
       {programs.work / "in.kgz", damaged});
    FuseMount mount(damaged, programs.mnt());
    ASSERT_TRUE(mount.mounted()) << mount.log();
    const CommandResult last = test::runCommand({"cat", programs.mnt() + "/data2"});
    EXPECT_NE(last.status, 0);
    EXPECT_NE(last.err.find("Input/output error"), std::string::npos) << last.err;
    EXPECT_EQ(test::readFile(programs.mnt() + "/data0"), programs.data[0]);
    EXPECT_EQ(sh("ls \"$1\"", {programs.mnt()}), "bin\ndata0\ndata1\ndata2\nlib\n");
}

TEST(Kotarfs, HelpVersionAndWrongCommandLines) {
    const CommandResult help = test::runCommand({test::kotarfsBinary(), "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: ", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("-o uid=N"), std::string::npos);
    const CommandResult version = test::runCommand({test::kotarfsBinary(), "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("kotarfs " KOTAR_VERSION "\n", 0), 0u) << version.out;
    const CommandResult none = test::runCommand({test::kotarfsBinary()});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err.rfind("kotarfs: no archive given\nUsage: ", 0), 0u) << none.err;
    TempDir work;
    // Lines refused before the archive is opened, or by its opening.
    test::writeFile(work / "file", "");
    struct Refused {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Refused refused[] = {
        {{work / "none.ktar", work / "file"}, "kotarfs: " + (work / "file") + ": the mount point is not a directory\n"},
        {{work / "none.ktar", work.path()}, "kotarfs: " + (work / "none.ktar") + ": unable to open the archive\n"},
        {{"", work.path()}, "kotarfs: : unable to open the archive\n"},
    };
    for (const Refused& line : refused) {
        std::vector<std::string> argv = {test::kotarfsBinary()};
        argv.insert(argv.end(), line.arguments.begin(), line.arguments.end());
        const CommandResult run = test::runCommand(argv);
        EXPECT_EQ(run.status, 1) << line.message;
        EXPECT_EQ(run.err, line.message);
    }
    // 4294967295 is (uid_t)-1, which no file can be owned by.
    for (const std::string id : {"uid=x", "uid=", "uid=-1", "gid=4294967296", "uid=4294967295", "gid=4294967295"}) {
        const CommandResult badId = test::runCommand({test::kotarfsBinary(), "a", "b", "-o", id});
        EXPECT_EQ(badId.status, 1) << id;
        EXPECT_EQ(badId.err.rfind("kotarfs: invalid " + id + "\n", 0), 0u) << badId.err;
    }
}

}  // namespace
}  // namespace kotar
