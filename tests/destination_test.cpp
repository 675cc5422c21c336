// Destinations of creation and extraction: a run that succeeds replaces the
// destination whole and keeps what it is (a link, its permission bits); a
// run that is refused, fails on a full disk or is interrupted by a signal
// leaves it exactly as it was, and no temporary file behind.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <csignal>
#include <filesystem>
#include <string>
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

TEST_F(DestinationTest, SuccessReplacesWholeAndFailureLeavesAlone) {
    const mode_t mask = umask(0);
    umask(mask);
    struct Kind {
        const char* what;
        // Makes the destination in `out`; returns the path to give kotar.
        std::function<std::string(const std::string& out)> make;
        mode_t mode;  // its permission bits after a successful run
    };
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
    };
    for (const Mode& mode : modes_) {
        for (const Kind& kind : kinds) {
            SCOPED_TRACE(std::string(mode.option) + " to a " + kind.what);
            const std::string out = dir_ / "out";
            fs::remove_all(out);
            fs::create_directory(out);
            const std::string destination = kind.make(out);
            const bool existed = fs::exists(destination);
            const std::size_t entries = filesIn(out);

            // A refused input first: nothing changes, nothing is left behind.
            const CommandResult refused = runKotar({mode.option, dir_ / "garbage", "-o", destination});
            EXPECT_EQ(refused.status, 255);
            EXPECT_EQ(fs::exists(destination), existed);
            if (existed) {
                EXPECT_TRUE(readFile(destination) == kEarlierDestination);
            }
            EXPECT_EQ(filesIn(out), entries);

            const CommandResult run = runKotar({mode.option, mode.input, "-o", destination});
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_TRUE(readFile(destination) == mode.expected);
            EXPECT_EQ(permissionsOf(destination), kind.mode);
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
    }
}

// Starts kotar with the given arguments and returns its process id.
pid_t startKotar(const std::vector<std::string>& arguments) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv{const_cast<char*>(test::kotarBinary())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        // Whatever the test runner ignores, kotar starts with the defaults.
        for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) std::signal(signalNumber, SIG_DFL);
        [[maybe_unused]] const auto* quiet = std::freopen("/dev/null", "w", stderr);
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
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
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

// A full filesystem fails either mode and leaves the earlier destination.
TEST_F(DestinationTest, FullFilesystemLeavesTheEarlierDestination) {
    const std::string small = dir_ / "small";
    fs::create_directory(small);
    // Through the commands: <sys/mount.h> would bring in a kBlockSize macro.
    if (test::shell("mount -t tmpfs -o size=64k tmpfs " + shellQuoted(small) + " 2>/dev/null", false) != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    }
    const struct Unmount {
        std::string path;
        ~Unmount() { test::shell("umount " + shellQuoted(path), false); }
    } unmount{small};
    for (const Mode& mode : modes_) {
        SCOPED_TRACE(mode.option);
        const std::string destination = small + "/dest";
        writeFile(destination, kEarlierDestination);
        const CommandResult run = runKotar({mode.option, mode.input, "-o", destination});
        EXPECT_EQ(run.status, 255);
        EXPECT_NE(run.err.find("write"), std::string::npos) << run.err;
        EXPECT_TRUE(readFile(destination) == kEarlierDestination);
        EXPECT_EQ(filesIn(small), 1u) << "a temporary file stays behind";
    }
}

}  // namespace
}  // namespace kotar
