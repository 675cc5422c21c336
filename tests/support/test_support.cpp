#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kotar::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kotar-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) std::abort();
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

SmallTmpfs::SmallTmpfs(const std::string& path, const std::string& size) : path_(path) {
    std::filesystem::create_directories(path);
    mounted_ = shell("mount -t tmpfs -o size=" + size + " tmpfs " + shellQuoted(path) + " 2>/dev/null", false) == 0;
}

SmallTmpfs::~SmallTmpfs() {
    if (mounted_) shell("umount " + shellQuoted(path_), false);
}

SpareDescriptors::SpareDescriptors(int spare) {
    getrlimit(RLIMIT_NOFILE, &previous_);
    int highest = 2;
    for (int fd = 0; fd < 4096; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) highest = fd;
    }
    rlimit limit = previous_;
    limit.rlim_cur = static_cast<rlim_t>(highest + 1 + spare);
    taken_.reserve(limit.rlim_cur);
    setrlimit(RLIMIT_NOFILE, &limit);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken_.push_back(fd);
    for (; spare > 0 && !taken_.empty(); --spare, taken_.pop_back()) ::close(taken_.back());
}

SpareDescriptors::~SpareDescriptors() {
    for (const int fd : taken_) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &previous_);
}

std::size_t filesIn(const std::string& folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
    return count;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

CommandResult runCommand(const std::vector<std::string>& argv, const std::string& stdinPath,
                         const std::vector<std::string>& environment) {
    TempDir capture;
    const std::string outPath = capture / "out";
    const std::string errPath = capture / "err";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    // A variable given here replaces an inherited one of the same name (the
    // C library's getenv would find the inherited one first).
    const auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const bool replaced = std::any_of(environment.begin(), environment.end(),
                                          [&](const std::string& given) { return nameOf(given) == nameOf(entry); });
        if (!replaced) envStrings.push_back(entry);
    }
    for (const std::string& e : environment) envStrings.push_back(e);
    std::vector<char*> env;
    for (std::string& e : envStrings) env.push_back(e.data());
    env.push_back(nullptr);

    CommandResult result;
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data()) == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

const char* kotarBinary() { return KOTAR_BINARY; }

namespace {
const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
}  // namespace

CommandResult runKotarAsNobody(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = kAsNobody;
    argv.push_back(kotarBinary());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv);
}

std::string whyNotAsNobody() {
    if (geteuid() != 0) return "the tests do not run as root, so cannot become nobody";
    std::vector<std::string> argv = kAsNobody;
    argv.push_back("true");
    if (runCommand(argv).status != 0) return "setpriv cannot run a command as nobody:nogroup here";
    return "";
}

CommandResult runKotar(const std::vector<std::string>& arguments, const std::string& stdinPath,
                       const std::vector<std::string>& environment) {
    std::vector<std::string> argv{kotarBinary()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv, stdinPath, environment);
}

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int shell(const std::string& commandLine, bool mustSucceed) {
    const CommandResult result = runCommand({"/bin/sh", "-c", commandLine});
    if (mustSucceed && result.status != 0) {
        ADD_FAILURE() << "command failed (" << result.status << "): " << commandLine << "\n"
                      << result.out << result.err;
    }
    return result.status;
}

void setOctalField(HeaderBlock& block, HeaderField field, std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llo", static_cast<int>(field.width - 1),
                  static_cast<unsigned long long>(value));
    std::memcpy(block.data() + field.offset, text, field.width);  // digits and a NUL
}

HeaderBlock makeHeader(const HeaderSpec& spec) {
    HeaderBlock block{};
    std::memcpy(block.data() + field::name.offset, spec.name.data(), std::min(spec.name.size(), field::name.width));
    setOctalField(block, field::mode, spec.mode);
    setOctalField(block, field::uid, spec.uid);
    setOctalField(block, field::gid, spec.gid);
    setOctalField(block, field::size, spec.size);
    setOctalField(block, field::mtime, static_cast<std::uint64_t>(spec.mtime));
    block[field::typeflag.offset] = static_cast<unsigned char>(spec.typeflag);
    std::memcpy(block.data() + field::linkname.offset, spec.linkname.data(),
                std::min(spec.linkname.size(), field::linkname.width));
    storeMagic(block, spec.posix ? kPosixMagic : kPlainMagic);
    std::memcpy(block.data() + field::uname.offset, "user", 4);
    std::memcpy(block.data() + field::gname.offset, "group", 5);
    std::memcpy(block.data() + field::prefix.offset, spec.prefix.data(),
                std::min(spec.prefix.size(), field::prefix.width));
    setHeaderChecksum(block, false);
    return block;
}

std::string paxRecord(const std::string& keyword, const std::string& value) {
    const std::string body = " " + keyword + "=" + value + "\n";
    std::size_t length = body.size() + 1;
    while (std::to_string(length).size() + body.size() != length) ++length;
    return std::to_string(length) + body;
}

void appendBlock(std::string& archive, const HeaderBlock& block) {
    archive.append(reinterpret_cast<const char*>(block.data()), block.size());
}

void appendPadded(std::string& archive, const std::string& bytes) {
    archive += bytes;
    archive.append((kBlockSize - bytes.size() % kBlockSize) % kBlockSize, '\0');
}

}  // namespace kotar::test
