// Destinations of creation and extraction: a run that succeeds replaces the
// destination whole and keeps what it is (a link, its permission bits); a
// run that is refused, fails on a full disk or is interrupted by a signal
// leaves it exactly as it was, and no temporary file behind.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <cstdio>
#include <functional>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace kotar {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::TempDir;
using test::filesIn;
using test::kEarlierDestination;
using test::readFile;
using test::runKotar;
using test::shellQuoted;
using test::writeFile;

// The inputs of both modes and what each must write.
struct Mode {
    const char* option;
    std::string input;
    std::string expected;
};

class DestinationTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::shell("cd " + shellQuoted(dir_.path()) + " && mkdir src && printf 'hello\\n' > src/a" +
                    " && head -c 300000 /dev/urandom > src/b && cp /usr/bin/true src/true && tar --format=gnu -cf in.tar src");
        ASSERT_EQ(runKotar({"-c", dir_ / "in.tar", "-o", dir_ / "in.ktar"}).status, 0);
        ASSERT_EQ(runKotar({"-x", dir_ / "in.ktar", "-o", dir_ / "back.tar"}).status, 0);
        writeFile(dir_ / "garbage", std::string(2048, 'g'));
        modes_ = {{"-c", dir_ / "in.tar", readFile(dir_ / "in.ktar")},
                  {"-x", dir_ / "in.ktar", readFile(dir_ / "back.tar")}};
        fs::create_directory(dir_ / "out");
    }

    TempDir dir_;
    std::vector<Mode> modes_;
};

mode_t permissionsOf(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// The owner, group and link count of a file (and its inode, when asked),
// the value of its extended attribute user.kotar and its ACL, as the
// system's tools show them.
std::string whatTheFileIs(const std::string& path, bool withInode) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return "missing";
    const std::string quoted = shellQuoted(path);
    return std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid) + " links " +
           std::to_string(status.st_nlink) + (withInode ? " inode " + std::to_string(status.st_ino) : "") + "\n" +
           test::runCommand({"/bin/sh", "-c", "getfattr --absolute-names --only-values -n user.kotar " + quoted + " 2>&1"}).out +
           test::runCommand({"/bin/sh", "-c", "getfacl -cp " + quoted + " 2>&1"}).out;
}

TEST_F(DestinationTest, SuccessReplacesWholeAndFailureLeavesAlone) {
    const mode_t mask = umask(0);
    umask(mask);
    const std::string whyNotNobody = test::whyNotAsNobody();
    // Runs of nobody read the inputs.
    chmod(dir_.path().c_str(), 0755);
    struct Kind {
        const char* what;
        // Makes the destination in `out`; returns the path to give kotar.
        std::function<std::string(const std::string& out)> make;
        mode_t mode;  // its permission bits after a successful run
        bool asNobody = false;  // kotar runs as nobody
        // What must stay of the file besides its bytes and bits: its links,
        // owner, attributes and ACL, and, when the file is written in
        // place, its inode.
        bool keepsOwnerAndAttributes = false;
        bool keepsInode = false;
    };
    const std::string longName(250, 'n');
    const Kind kinds[] = {
        {"new file", [](const std::string& out) { return out + "/dest"; }, static_cast<mode_t>(0666 & ~mask)},
        {"existing file",
         [](const std::string& out) {
             writeFile(out + "/dest", kEarlierDestination);
             chmod((out + "/dest").c_str(), 0640);
             return out + "/dest";
         },
         0640},
        {"symbolic link to a file",
         [](const std::string& out) {
             writeFile(out + "/target", kEarlierDestination);
             chmod((out + "/target").c_str(), 0604);
             fs::create_symlink("target", out + "/dest");
             return out + "/dest";
         },
         0604},
        {"symbolic link to a file not yet made",
         [](const std::string& out) {
             fs::create_symlink("target", out + "/dest");
             return out + "/dest";
         },
         static_cast<mode_t>(0666 & ~mask)},
        // A temporary name beside it would pass the 255-byte limit.
        {"file with a name of 250 bytes",
         [&longName](const std::string& out) {
             writeFile(out + "/" + longName, kEarlierDestination);
             chmod((out + "/" + longName).c_str(), 0640);
             return out + "/" + longName;
         },
         0640},
        {"file with a second hard link",
         [](const std::string& out) {
             writeFile(out + "/dest", kEarlierDestination);
             fs::create_hard_link(out + "/dest", out + "/other-link");
             return out + "/dest";
         },
         static_cast<mode_t>(0666 & ~mask), false, true, true},
        // Attributes and an ACL where the file system has them; as root,
        // a rename may keep them all.
        {"file of another owner, with an extended attribute and an ACL",
         [](const std::string& out) {
             writeFile(out + "/dest", kEarlierDestination);
             [[maybe_unused]] const int given = chown((out + "/dest").c_str(), 65534, 65534);
             test::shell("setfattr -n user.kotar -v kept " + shellQuoted(out + "/dest") + " 2>/dev/null; setfacl -m u:daemon:r " +
                             shellQuoted(out + "/dest") + " 2>/dev/null",
                         false);
             chmod((out + "/dest").c_str(), 0604);
             return out + "/dest";
         },
         0604, false, true},
        // The temporary file takes an ACL from the default ACL; the file
        // replaced had none.
        {"file without an ACL in a directory with a default ACL",
         [](const std::string& out) {
             writeFile(out + "/dest", kEarlierDestination);
             chmod((out + "/dest").c_str(), 0640);
             test::shell("setfacl -d -m u:daemon:rw " + shellQuoted(out) + " 2>/dev/null", false);
             return out + "/dest";
         },
         0640, false, true},
        // Its directory lets nobody make a file, not replace root's.
        {"file of another owner in a sticky directory",
         [](const std::string& out) {
             chmod(out.c_str(), 01777);
             writeFile(out + "/dest", kEarlierDestination);
             chmod((out + "/dest").c_str(), 0666);
             return out + "/dest";
         },
         0666, true, true, true},
        {"writable file in a directory its writer may not write",
         [](const std::string& out) {
             writeFile(out + "/dest", kEarlierDestination);
             chmod((out + "/dest").c_str(), 0666);
             return out + "/dest";
         },
         0666, true, true, true},
    };
    for (const Mode& mode : modes_) {
        for (const Kind& kind : kinds) {
            SCOPED_TRACE(std::string(mode.option) + " to a " + kind.what);
            if (kind.asNobody && !whyNotNobody.empty()) {
                std::cout << "[  SKIPPED ] " << kind.what << ": " << whyNotNobody << "\n";
                continue;
            }
            const auto runAs = [&kind](const std::vector<std::string>& arguments) {
                return kind.asNobody ? test::runKotarAsNobody(arguments) : runKotar(arguments);
            };
            const std::string out = dir_ / "out";
            fs::remove_all(out);
            fs::create_directory(out);
            const std::string destination = kind.make(out);
            const bool existed = fs::exists(destination);
            const std::size_t entries = filesIn(out);
            const std::string fileBefore = whatTheFileIs(destination, kind.keepsInode);

            // A refused input first: nothing changes, nothing is left behind.
            const CommandResult refused = runAs({mode.option, dir_ / "garbage", "-o", destination});
            EXPECT_EQ(refused.status, 255);
            EXPECT_EQ(fs::exists(destination), existed);
            if (existed) {
                EXPECT_TRUE(readFile(destination) == kEarlierDestination);
            }
            EXPECT_EQ(filesIn(out), entries);

            const CommandResult run = runAs({mode.option, mode.input, "-o", destination});
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_TRUE(readFile(destination) == mode.expected);
            EXPECT_EQ(permissionsOf(destination), kind.mode);
            if (kind.keepsOwnerAndAttributes) {
                EXPECT_EQ(whatTheFileIs(destination, kind.keepsInode), fileBefore);
            }
            EXPECT_EQ(fs::is_symlink(destination), std::string(kind.what).starts_with("symbolic"));
            EXPECT_EQ(filesIn(out), entries + (existed ? 0 : 1));
        }
        // A character device is written in place, and creation traces the
        // same analysis as for a file: it never reads its destination back.
        SCOPED_TRACE(std::string(mode.option) + " to /dev/null");
        const CommandResult toFile = runKotar({"-v", mode.option, mode.input, "-o", dir_ / "out/traced"});
        const CommandResult toNull = runKotar({"-v", mode.option, mode.input, "-o", "/dev/null"});
        EXPECT_EQ(toNull.status, 0);
        EXPECT_EQ(toNull.out + toNull.err, toFile.out + toFile.err);
        EXPECT_TRUE(fs::is_character_file("/dev/null"));

        // Standard output is the open file, whatever is behind it: what
        // the shell writes there afterwards follows kotar's bytes.
        SCOPED_TRACE(std::string(mode.option) + " to /dev/stdout");
        test::shell("{ " + shellQuoted(test::kotarBinary()) + " " + mode.option + " " + shellQuoted(mode.input) +
                    " -o /dev/stdout; echo after; } > " + shellQuoted(dir_ / "out/combined"));
        EXPECT_TRUE(readFile(dir_ / "out/combined") == mode.expected + "after\n");

        // A FIFO by its name is written in place, front to back: never by
        // position, whichever thread copies the data.
        SCOPED_TRACE(std::string(mode.option) + " to a FIFO");
        const std::string fifo = dir_ / "out/fifo";
        fs::remove(fifo);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        EXPECT_EQ(test::shell("{ cat " + shellQuoted(fifo) + " > " + shellQuoted(dir_ / "out/read") + " & } && KOTAR_DECODING_THREAD=1 " +
                                  shellQuoted(test::kotarBinary()) + " " + mode.option + " " + shellQuoted(mode.input) +
                                  " -o " + shellQuoted(fifo) + " && wait",
                              false),
                  0);
        EXPECT_TRUE(readFile(dir_ / "out/read") == mode.expected);

        // A block device is written in place too, and keeps what lies in a
        // gap that is only passed over: every gap is written, as zeros.
        SCOPED_TRACE(std::string(mode.option) + " to a block device");
        const std::string image = dir_ / "out/device.img";
        writeFile(image, std::string(mode.expected.size() + 4096, '\xff'));
        const CommandResult attached = test::runCommand({"/bin/sh", "-c", "losetup -f --show " + shellQuoted(image) + " 2>/dev/null"});
        if (attached.status != 0 || attached.out.empty()) continue;  // no loop device here (not root)
        const std::string device = attached.out.substr(0, attached.out.find('\n'));
        const CommandResult toDevice = runKotar({mode.option, mode.input, "-o", device});
        EXPECT_EQ(toDevice.status, 0) << toDevice.err;
        EXPECT_TRUE(readFile(device).substr(0, mode.expected.size()) == mode.expected);
        test::shell("losetup -d " + shellQuoted(device), false);
    }
}

// Starts kotar with the given arguments and returns its process id; its
// standard output and error go nowhere, and `prepare` (when given) runs in the child
// just before kotar starts.
pid_t startKotar(const std::vector<std::string>& arguments, const std::function<void()>& prepare = {}) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(test::kotarBinary())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        // Whatever the test runner ignores, kotar starts with the defaults.
        for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU, SIGXFSZ, SIGPIPE}) {
            std::signal(signalNumber, SIG_DFL);
        }
        const rlimit noCore{0, 0};  // SIGQUIT and others dump core by default
        setrlimit(RLIMIT_CORE, &noCore);
        [[maybe_unused]] const auto* quiet = std::freopen("/dev/null", "w", stderr);
        [[maybe_unused]] const auto* quietOut = std::freopen("/dev/null", "w", stdout);
        if (prepare) prepare();
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// The size of the hidden temporary file beside `name` in `folder`, or -1.
std::intmax_t stagingSize(const std::string& folder, const std::string& name) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with("." + name + ".")) {
            std::error_code ignored;
            const auto size = fs::file_size(entry.path(), ignored);
            return ignored ? -1 : static_cast<std::intmax_t>(size);
        }
    }
    return -1;
}

// Interrupted at several points of a large conversion, each mode leaves the
// earlier destination whole. SIGKILL cannot be caught: it may leave the
// hidden temporary file, never a file under the destination's name.
TEST_F(DestinationTest, SignalsLeaveTheEarlierDestination) {
    const std::string big = dir_ / "big.tgz";
    test::shell("tar --format=gnu -C /usr -cf - bin 2>/dev/null | gzip -1 > " + shellQuoted(big), false);
    const std::string out = dir_ / "out";
    const std::string destination = out + "/dest.ktar";
    struct Point {
        const char* what;
        std::intmax_t stagedBytes;  // signal once the temporary file holds this much
    };
    const Point points[] = {{"as the temporary file appears", 0}, {"after 40 MB", 40'000'000}};
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU, SIGKILL}) {
        for (const Point& point : points) {
            SCOPED_TRACE(std::string(strsignal(signalNumber)) + " " + point.what);
            writeFile(destination, kEarlierDestination);
            const pid_t pid = startKotar({"-c", big, "-o", destination});
            ASSERT_GT(pid, 0);
            bool signalled = false;
            for (int waited = 0; waited < 30000 && !signalled; ++waited) {
                if (waitpid(pid, nullptr, WNOHANG) == pid) break;
                if (stagingSize(out, "dest.ktar") >= point.stagedBytes) {
                    kill(pid, signalNumber);
                    signalled = true;
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
            int status = 0;
            if (signalled) waitpid(pid, &status, 0);
            ASSERT_TRUE(signalled) << "kotar ended before the signal";
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber);
            EXPECT_TRUE(readFile(destination) == kEarlierDestination);
            const std::size_t expectedEntries = signalNumber == SIGKILL ? filesIn(out) : 1;
            EXPECT_LE(expectedEntries, 2u);
            EXPECT_EQ(filesIn(out), expectedEntries) << "a temporary file stays behind";
            for (const auto& entry : fs::directory_iterator(out)) {
                if (entry.path() != destination) fs::remove(entry.path());
            }
        }
    }
}

// Signals that kotar's own writes raise: a file size limit (SIGXFSZ ends
// the run, after the temporary file is removed), and a closed pipe on
// standard output or standard error, or a closed stream, which is a failed
// write (status 255).
TEST_F(DestinationTest, SignalsOfItsOwnWritesLeaveTheEarlierDestination) {
    const std::string out = dir_ / "out";
    const std::string destination = out + "/dest";
    // The write end of a pipe whose reader has gone, as kotar's `target`.
    const auto closedPipeOn = [](int target) {
        return [target] {
            int ends[2];
            if (pipe(ends) != 0) _exit(126);
            close(ends[0]);
            dup2(ends[1], target);
        };
    };
    struct Case {
        const char* what;
        std::function<void()> prepare;
        int signalNumber;  // the signal that ends kotar, or 0 for status 255
        bool creationOnly = false;  // extraction writes nothing on the streams
    };
    const Case cases[] = {
        {"ulimit -f of 100 KB",
         [] {
             const rlimit limit{100'000, 100'000};
             setrlimit(RLIMIT_FSIZE, &limit);
         },
         SIGXFSZ},
        {"closed pipe on standard output", closedPipeOn(1), 0, true},
        {"closed pipe on standard error", closedPipeOn(2), 0, true},
        // The files kotar opens must not take the streams' numbers, where
        // the trace would go into the earlier destination.
        {"standard input, output and error closed", [] {
             close(0);
             close(1);
             close(2);
         }, 0, true},
    };
    for (const Mode& mode : modes_) {
        for (const Case& c : cases) {
            if (c.creationOnly && std::string(mode.option) != "-c") continue;
            SCOPED_TRACE(std::string(mode.option) + ", " + c.what);
            writeFile(destination, kEarlierDestination);
            // -v: creation traces an executable, on standard output and error.
            const pid_t pid = startKotar({"-v", mode.option, mode.input, "-o", destination}, c.prepare);
            ASSERT_GT(pid, 0);
            int status = 0;
            waitpid(pid, &status, 0);
            if (c.signalNumber != 0) {
                EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signalNumber) << status;
            } else {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
            }
            EXPECT_TRUE(readFile(destination) == kEarlierDestination);
            EXPECT_EQ(filesIn(out), 1u) << "a temporary file stays behind";
        }
    }
}

// The kernel's rule on symbolic links in sticky directories holds for the
// destination: root does not follow nobody's link in a world-writable
// sticky directory when fs.protected_symlinks is on.
TEST_F(DestinationTest, KernelRulesOnSymbolicLinksHold) {
    if (readFile("/proc/sys/fs/protected_symlinks") != "1\n") {
        GTEST_SKIP() << "fs.protected_symlinks is off here: the kernel follows every link";
    }
    if (const std::string why = test::whyNotAsNobody(); !why.empty()) GTEST_SKIP() << why;
    const std::string sticky = dir_ / "sticky";
    fs::create_directory(sticky);
    chmod(sticky.c_str(), 01777);
    chmod(dir_.path().c_str(), 0755);
    writeFile(dir_ / "target", kEarlierDestination);
    test::shell("setpriv --reuid=nobody --regid=nogroup --clear-groups ln -s ../target " + shellQuoted(sticky + "/dest"));
    for (const Mode& mode : modes_) {
        SCOPED_TRACE(mode.option);
        const CommandResult run = runKotar({mode.option, mode.input, "-o", sticky + "/dest"});
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, "Unable to open output file: " + sticky + "/dest\n");
        EXPECT_TRUE(readFile(dir_ / "target") == kEarlierDestination);
        EXPECT_EQ(filesIn(sticky), 1u);
    }
}

// For a name of a held descriptor (/dev/stdout onto a regular file), the
// kept copy of a piped input goes to $TMPDIR, never beside what the name
// leads to in /dev. Seen while kotar waits for the rest of its input.
TEST_F(DestinationTest, WorkingFilesOfADescriptorNameGoToTheTemporaryDirectory) {
    const std::string fifo = dir_ / "fifo";
    const std::string work = dir_ / "work";
    fs::create_directory(work);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string result = dir_ / "out/result";
    const pid_t pid = startKotar({"-c", "/dev/stdin", "-o", "/dev/stdout"}, [&] {
        setenv("TMPDIR", work.c_str(), 1);
        const int in = ::open(fifo.c_str(), O_RDONLY);
        const int out = ::open(result.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
    });
    ASSERT_GT(pid, 0);
    const std::string tar = readFile(dir_ / "in.tar");
    FILE* writer = std::fopen(fifo.c_str(), "w");
    ASSERT_NE(writer, nullptr);
    std::fwrite(tar.data(), 1, 20 * 1024, writer);
    std::fflush(writer);

    // The kept copy: an unlinked file among kotar's descriptors.
    std::vector<std::string> unlinked;
    const std::string descriptors = "/proc/" + std::to_string(pid) + "/fd";
    for (int waited = 0; waited < 10000 && unlinked.empty(); ++waited) {
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(descriptors, ignored)) {
            const std::string target = fs::read_symlink(entry.path(), ignored).string();
            if (target.ends_with(" (deleted)")) unlinked.push_back(target);
        }
        if (unlinked.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::fwrite(tar.data() + 20 * 1024, 1, tar.size() - 20 * 1024, writer);
    std::fclose(writer);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(readFile(result) == modes_[0].expected);
    ASSERT_FALSE(unlinked.empty()) << "no kept copy seen";
    for (const std::string& target : unlinked) EXPECT_TRUE(target.starts_with(work + "/")) << target;
}

// A full filesystem fails either mode and leaves the earlier destination:
// filled by the temporary file, or by the copy into a destination with a
// second link, where the file system cannot reserve the space first (ext2).
TEST_F(DestinationTest, FullFilesystemLeavesTheEarlierDestination) {
    const std::string small = dir_ / "small";
    fs::create_directory(small);
    // Compressed, the input is kept beside the destination while it is
    // read: that copy fills the disk, and it is no failure to read.
    test::shell("gzip -c " + shellQuoted(dir_ / "in.tar") + " > " + shellQuoted(dir_ / "in.tgz"));
    std::vector<Mode> modes = modes_;
    modes.push_back({"-c", dir_ / "in.tgz", modes_[0].expected});
    // A header table longer than memory holds spills into a file beside the
    // destination, which a full disk fails when it is read back.
    test::shell("cd " + shellQuoted(dir_.path()) + " && python3 -c 'import tarfile\n" +
                "with tarfile.open(\"many.tar\", \"w\", format=tarfile.GNU_FORMAT) as t:\n" +
                " [t.addfile(tarfile.TarInfo(f\"m{i}\")) for i in range(16388)]'");
    ASSERT_EQ(runKotar({"-c", dir_ / "many.tar", "-o", dir_ / "many.ktar"}).status, 0);
    modes.push_back({"-c", dir_ / "many.tar", ""});
    modes.push_back({"-x", dir_ / "many.ktar", ""});
    struct Disk {
        const char* what;
        std::string make;    // a command that mounts it at `small`
        std::size_t filler;  // bytes taken before the run
        bool secondLink;
    };
    const std::string image = shellQuoted(dir_ / "ext2.img");
    const Disk disks[] = {
        {"tmpfs of 64 KiB", "mount -t tmpfs -o size=64k tmpfs " + shellQuoted(small), 0, false},
        // Full but for the destination's page.
        {"full tmpfs", "mount -t tmpfs -o size=64k tmpfs " + shellQuoted(small), 60 * 1024, false},
        // Room for the temporary file, not for the copy beside it.
        {"ext2 of 1 MiB", "truncate -s 1M " + image + " && mkfs.ext2 -q -F -m 0 " + image + " && mount -o loop " + image +
                              " " + shellQuoted(small),
         450'000, true},
    };
    for (const Disk& disk : disks) {
        // Through the commands: <sys/mount.h> would bring in a kBlockSize macro.
        if (test::shell("{ " + disk.make + "; } >/dev/null 2>&1", false) != 0) {
            std::cout << "[  SKIPPED ] " << disk.what << ": cannot mount it here\n";
            continue;
        }
        const struct Unmount {
            std::string path;
            ~Unmount() { test::shell("umount " + shellQuoted(path), false); }
        } unmount{small};
        if (disk.filler > 0) writeFile(small + "/filler", std::string(disk.filler, 'f'));
        for (const Mode& mode : modes) {
            SCOPED_TRACE(std::string(disk.what) + ": " + mode.option + " " + mode.input);
            const std::string destination = small + "/dest";
            writeFile(destination, kEarlierDestination);
            if (disk.secondLink) fs::create_hard_link(destination, small + "/other-link");
            const std::size_t entries = filesIn(small);
            const CommandResult run = runKotar({mode.option, mode.input, "-o", destination});
            EXPECT_EQ(run.status, 255);
            EXPECT_NE(run.err.find("write"), std::string::npos) << run.err;
            EXPECT_TRUE(readFile(destination) == kEarlierDestination);
            EXPECT_EQ(filesIn(small), entries) << "a temporary file stays behind";
            fs::remove(small + "/other-link");
        }
    }
}

}  // namespace
}  // namespace kotar
