// Shared by the libFuzzer targets: the first byte of every fuzz input holds
// option bits, the rest is the stream that kotar reads. The stream goes into
// a memory file, as it is or gzip-compressed, and the mode under test opens
// it by the path /proc/self/fd/N, as it would open any file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kotar::fuzz {

// Bits of the first input byte.
inline constexpr std::uint8_t kGzip = 0x01;       // compress the stream with gzip
inline constexpr std::uint8_t kVerbose = 0x02;    // run with the trace flag set
inline constexpr std::uint8_t kTwoMembers = 0x04; // gzip: two members one after the other
inline constexpr std::uint8_t kAlternate = 0x08;  // a second way through the mode (per target)

struct FuzzCase {
    std::uint8_t options = 0;
    const std::uint8_t* payload = nullptr;
    std::size_t size = 0;

    bool has(std::uint8_t bit) const { return (options & bit) != 0; }
};

// Splits an input into its option byte and its payload (empty inputs give
// no options and no payload).
FuzzCase splitInput(const std::uint8_t* data, std::size_t size);

// True when the payload begins with the magic number of a compression that
// kotar decodes (gzip, zstd, xz, bzip2, lz4): then it is not the stream that a mode reads.
bool looksCompressed(const FuzzCase& input);

// The payload as a gzip stream: one member, or two when `twoMembers`.
std::vector<std::uint8_t> gzipStream(const std::uint8_t* data, std::size_t size, bool twoMembers);

// An anonymous file in memory, reachable by path. Created once, refilled for
// every input.
class MemoryFile {
public:
    explicit MemoryFile(const char* name);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Replaces the contents; `at` leaves that many zero bytes in front.
    void assign(const std::uint8_t* data, std::size_t size, std::size_t at = 0);
    void assign(const std::vector<std::uint8_t>& bytes) { assign(bytes.data(), bytes.size()); }
    // Stores the case's payload, gzip-compressed when the case says so.
    void assignStream(const FuzzCase& input);
    // Empties the file and puts its offset back at the start.
    void clear();
    std::vector<std::uint8_t> contents() const;

    int descriptor() const { return descriptor_; }
    const char* path() const { return path_.c_str(); }

private:
    int descriptor_ = -1;
    std::string path_;
};

// Once per process: kotar's standard output and standard error go to
// /dev/null (the fuzzer's own reports and the sanitizers' still reach the
// terminal), files may grow to a bounded size, and a write past that bound
// fails instead of killing the process.
void silenceAndLimit();

// Stops the process with a message on the real standard error: an input broke
// an invariant that no sanitizer watches.
[[noreturn]] void invariantBroken(const char* what);

}  // namespace kotar::fuzz
