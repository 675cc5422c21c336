#include "tests/support/fuse_mount.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/test_support.h"

namespace kotar::test {

namespace {

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

// /proc/self/mountinfo escapes blanks and backslashes in octal.
std::string unescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

}  // namespace

std::string fuseMissing() {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is missing or not usable here";
    if (runCommand({"sh", "-c", "command -v fusermount3"}).status != 0) return "fusermount3 is not installed";
    return "";
}

const char* kotarfsBinary() { return KOTARFS_BINARY; }

bool isMountPoint(const std::string& path) {
    const std::string wanted = realPath(path);
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (unescapeMountField(point) == wanted) return true;
    }
    return false;
}

FuseMount::FuseMount(const std::string& archive, const std::string& mountPoint,
                     const std::vector<std::string>& options)
    : mountPoint_(mountPoint), logPath_(mountPoint + ".log") {
    std::vector<std::string> arguments = {kotarfsBinary(), archive, mountPoint, "-f"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int log = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    child_ = ::fork();
    if (child_ == 0) {
        ::dup2(log, STDERR_FILENO);
        ::dup2(log, STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(log);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (isMountPoint(mountPoint_)) {
            mounted_ = true;
            return;
        }
        int raw = 0;
        if (child_ > 0 && ::waitpid(child_, &raw, WNOHANG) == child_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            child_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool FuseMount::unmount() {
    if (mounted_ && runCommand({"fusermount3", "-u", mountPoint_}).status != 0) {
        runCommand({"fusermount3", "-uz", mountPoint_});
    }
    mounted_ = false;
    waitForEnd();
    return status_ == 0;
}

void FuseMount::waitForEnd() {
    if (child_ > 0) {
        int raw = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (::waitpid(child_, &raw, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(child_, SIGKILL);
                ::waitpid(child_, &raw, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        child_ = -1;
    }
}

bool FuseMount::stop(int signal) {
    if (child_ > 0) ::kill(child_, signal);
    waitForEnd();
    // What kotarfs left mounted goes, and the test sees that it did.
    mounted_ = isMountPoint(mountPoint_);
    const bool unmounted = !mounted_;
    unmount();
    return unmounted && status_ == 0;
}

FuseMount::~FuseMount() {
    unmount();
    ::unlink(logPath_.c_str());
}

std::string FuseMount::log() const { return readFile(logPath_); }

}  // namespace kotar::test
