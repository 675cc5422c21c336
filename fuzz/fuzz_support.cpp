#include "fuzz/fuzz_support.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <zlib.h>

namespace kotar::fuzz {

namespace {

// No output file of a mode may grow past this; with inputs of at most a few
// MiB only a file written at a wild position could.
constexpr rlim_t kFileSizeLimit = rlim_t{256} << 20;

int reportDescriptor = STDERR_FILENO;

void writeAll(int descriptor, const std::uint8_t* data, std::size_t size, off_t at) {
    while (size > 0) {
        const ssize_t written = pwrite(descriptor, data, size, at);
        if (written <= 0) invariantBroken("cannot fill a memory file");
        data += written;
        size -= static_cast<std::size_t>(written);
        at += written;
    }
}

void appendMember(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t size) {
    z_stream stream{};
    // 15 + 16: a gzip wrapper around a deflate stream with a 32 KiB window.
    if (deflateInit2(&stream, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        invariantBroken("deflateInit2 failed");
    }
    const std::size_t start = out.size();
    out.resize(start + deflateBound(&stream, size) + 64);
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = out.data() + start;
    stream.avail_out = static_cast<uInt>(out.size() - start);
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) invariantBroken("deflate did not finish");
    out.resize(start + stream.total_out);
    deflateEnd(&stream);
}

}  // namespace

FuzzCase splitInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {};
    return {data[0], data + 1, size - 1};
}

bool looksCompressed(const FuzzCase& input) {
    const auto startsWith = [&](const char* magic, std::size_t length) {
        return input.size >= length && std::memcmp(input.payload, magic, length) == 0;
    };
    return startsWith("\x1f\x8b", 2) || startsWith("\x28\xb5\x2f\xfd", 4) || startsWith("\xfd\x37\x7a\x58\x5a\x00", 6) ||
           startsWith("BZh", 3) || startsWith("\x04\x22\x4d\x18", 4);
}

std::vector<std::uint8_t> gzipStream(const std::uint8_t* data, std::size_t size, bool twoMembers) {
    std::vector<std::uint8_t> out;
    if (twoMembers) {
        const std::size_t half = size / 2;
        appendMember(out, data, half);
        appendMember(out, data + half, size - half);
    } else {
        appendMember(out, data, size);
    }
    return out;
}

MemoryFile::MemoryFile(const char* name) {
    descriptor_ = memfd_create(name, 0);
    if (descriptor_ < 0) invariantBroken("memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(descriptor_);
}

MemoryFile::~MemoryFile() {
    if (descriptor_ >= 0) close(descriptor_);
}

void MemoryFile::assign(const std::uint8_t* data, std::size_t size, std::size_t at) {
    clear();
    writeAll(descriptor_, data, size, static_cast<off_t>(at));
    if (size == 0 && at > 0 && ftruncate(descriptor_, static_cast<off_t>(at)) != 0) {
        invariantBroken("ftruncate failed");
    }
}

void MemoryFile::assignStream(const FuzzCase& input) {
    if (input.has(kGzip)) {
        assign(gzipStream(input.payload, input.size, input.has(kTwoMembers)));
    } else {
        assign(input.payload, input.size);
    }
}

void MemoryFile::clear() {
    // The modes write a descriptor they are named by from its own offset,
    // so an emptied file is also rewound.
    if (ftruncate(descriptor_, 0) != 0 || lseek(descriptor_, 0, SEEK_SET) != 0) {
        invariantBroken("cannot empty a memory file");
    }
}

std::vector<std::uint8_t> MemoryFile::contents() const {
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[64 * 1024];
    for (off_t at = 0;;) {
        const ssize_t got = pread(descriptor_, chunk, sizeof chunk, at);
        if (got < 0) invariantBroken("cannot read a memory file");
        if (got == 0) return bytes;
        bytes.insert(bytes.end(), chunk, chunk + got);
        at += got;
    }
}

void silenceAndLimit() {
    // The fuzzer prints through the stdio stream that standard error was at
    // start-up, and the sanitizers write to descriptor 2 itself; both stay.
    // kotar writes its messages through `stderr` and its listing and trace
    // lines through standard output: those go to /dev/null.
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0) invariantBroken("cannot open /dev/null");
    reportDescriptor = dup(STDERR_FILENO);
    std::fflush(stdout);
    dup2(null, STDOUT_FILENO);
    std::FILE* quiet = fdopen(null, "w");
    if (quiet == nullptr) invariantBroken("fdopen failed");
    stderr = quiet;

    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
    const rlimit limit{kFileSizeLimit, kFileSizeLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
}

void invariantBroken(const char* what) {
    const std::string line = std::string("kotar fuzz: ") + what + "\n";
    [[maybe_unused]] const ssize_t ignored = write(reportDescriptor, line.data(), line.size());
    std::abort();
}

}  // namespace kotar::fuzz
