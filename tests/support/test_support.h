// Helpers shared by the tests: temporary folders, files, running commands
// and the kotar binary, and header blocks built in code.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sys/resource.h>
#include <string>
#include <vector>

#include "format/header_block.h"

namespace kotar::test {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);

// Sets the largest file the process and its children may write, for as
// long as it lives (SIGXFSZ beyond it).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &previous_);
        if (bytes == 0) return;
        rlimit limit = previous_;
        limit.rlim_cur = std::min(bytes, previous_.rlim_max);
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &previous_); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
};

// A tmpfs of `size` (as mount's size= takes it) on the folder `path`,
// made here, for as long as it lives; mounted() is false where none can be
// mounted (no privilege).
class SmallTmpfs {
public:
    SmallTmpfs(const std::string& path, const std::string& size);
    ~SmallTmpfs();
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;
    bool mounted() const { return mounted_; }

private:
    std::string path_;
    bool mounted_ = false;
};

// Sets an environment variable for as long as it lives, then puts back
// what was there.
class EnvironmentSet {
public:
    EnvironmentSet(const char* name, const char* value) : name_(name) {
        if (const char* before = std::getenv(name)) before_ = before;
        setenv(name, value, 1);
    }
    ~EnvironmentSet() {
        if (before_) setenv(name_, before_->c_str(), 1);
        else unsetenv(name_);
    }
    EnvironmentSet(const EnvironmentSet&) = delete;
    EnvironmentSet& operator=(const EnvironmentSet&) = delete;

private:
    const char* name_;
    std::optional<std::string> before_;
};

// While it lives, only `spare` more descriptors can be opened: the limit
// stands just past them, and every free one below them is taken.
class SpareDescriptors {
public:
    explicit SpareDescriptors(int spare);
    ~SpareDescriptors();
    SpareDescriptors(const SpareDescriptors&) = delete;
    SpareDescriptors& operator=(const SpareDescriptors&) = delete;

private:
    rlimit previous_{};
    std::vector<int> taken_;
};

// What a destination holds before a run that must leave it alone.
inline const std::string kEarlierDestination = "an earlier destination\n";

// The number of entries in a folder, hidden ones included.
std::size_t filesIn(const std::string& folder);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);

struct CommandResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs argv[0] (looked up in PATH) with the given arguments; standard input
// comes from stdinPath (or /dev/null when empty). `environment` entries
// ("NAME=value") are added to the inherited environment, replacing any
// inherited variable of the same name.
CommandResult runCommand(const std::vector<std::string>& argv, const std::string& stdinPath = "",
                         const std::vector<std::string>& environment = {});

// Runs the kotar binary under test.
CommandResult runKotar(const std::vector<std::string>& arguments, const std::string& stdinPath = "",
                       const std::vector<std::string>& environment = {});
const char* kotarBinary();

// Runs the kotar binary as the user nobody (group nogroup, no other
// groups), through setpriv. The files it reads must be open to others.
CommandResult runKotarAsNobody(const std::vector<std::string>& arguments);
// Why runKotarAsNobody cannot run here (not root, no setpriv or no user
// nobody), or "" when it can.
std::string whyNotAsNobody();

// The text as one /bin/sh word, in single quotes.
std::string shellQuoted(const std::string& text);

// Runs a /bin/sh command line; returns its exit status. Fails the current
// test (with the command's output) when it is not 0 and mustSucceed is set.
int shell(const std::string& commandLine, bool mustSucceed = true);

// A header block as GNU tar writes it (plain magic, unsigned checksum).
struct HeaderSpec {
    std::string name;
    unsigned mode = 0644;
    std::uint64_t size = 0;
    char typeflag = '0';
    std::int64_t mtime = 1234567890;
    unsigned uid = 1000;
    unsigned gid = 1000;
    std::string linkname;
    bool posix = false;  // POSIX magic ("ustar\0" "00") and a prefix field
    std::string prefix;
};
HeaderBlock makeHeader(const HeaderSpec& spec);

// One pax record, "LEN KEY=VALUE\n", with its length worked out.
std::string paxRecord(const std::string& keyword, const std::string& value);

// Writes an octal number into a header field, as tar does (zero-padded,
// NUL-terminated, width - 1 digits).
void setOctalField(HeaderBlock& block, HeaderField field, std::uint64_t value);

// Appends a block (or raw bytes padded with zeros to a block boundary).
void appendBlock(std::string& archive, const HeaderBlock& block);
void appendPadded(std::string& archive, const std::string& bytes);

}  // namespace kotar::test
