#include "lib/archive_source.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

#include "decode/input_source.h"
#include "decode/stream_decoder.h"
#include "files/anonymous_file.h"
#include "files/write_all.h"
#include "format/indexed_layout.h"
#include "kotar/reader.h"

namespace kotar {

namespace {

constexpr std::size_t kCacheChunk = 1024 * 1024;

long long readAt(int descriptor, void* buffer, std::size_t count, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = ::pread(descriptor, static_cast<char*>(buffer) + done, count - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return KOTAR_EREAD;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long long>(done);
}

// The file opened again, by its name in /proc: a description of its own,
// with a position and flags of its own. Invalid without /proc.
FileDescriptor openAgain(int descriptor) {
    const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
    return FileDescriptor(::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

// A descriptor of its own on the file, from its start, so that decoding
// neither uses nor moves the position of the caller's descriptor.
FileDescriptor reopen(int descriptor) {
    FileDescriptor again = openAgain(descriptor);
    if (again.valid()) return again;
    return FileDescriptor(::fcntl(descriptor, F_DUPFD_CLOEXEC, kFirstOwnDescriptor));  // no /proc: shares the position
}

// `file`, or the file opened again when `file` reads with direct I/O, which
// takes only whole, aligned blocks into aligned memory, as reads of a
// member's bytes are not. A duplicate handed over by the caller shares the
// caller's flags, which are not to change.
FileDescriptor withoutDirectIo(FileDescriptor file) {
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || (flags & O_DIRECT) == 0) return file;
    FileDescriptor again = openAgain(file.get());
    return again.valid() ? std::move(again) : std::move(file);
}

// The largest file the process may write: a write past it would raise
// SIGXFSZ, which ends the caller's process unless it handles the signal.
std::uint64_t fileSizeLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

// Decompresses the whole stream of `source` into an unlinked file.
int decompressToCache(StreamDecoder& decoder, FileDescriptor& cache, std::uint64_t& size) {
    cache = FileDescriptor(openAnonymousFile(""));
    if (!cache.valid()) return KOTAR_ECACHE;
    std::unique_ptr<unsigned char[]> chunk(new (std::nothrow) unsigned char[kCacheChunk]);
    if (!chunk) return KOTAR_ENOMEM;
    const std::uint64_t limit = fileSizeLimit();
    size = 0;
    for (;;) {
        const Decoded decoded = decoder.decode(chunk.get(), kCacheChunk);
        if (decoded.length > limit - size) return KOTAR_ECACHE;  // the cache may not grow so large
        if (!writeAll(cache.get(), chunk.get(), decoded.length)) return KOTAR_ECACHE;
        size += decoded.length;
        if (size >= kArchiveLimit) return KOTAR_EDATA;
        if (decoded.state == DecodeState::end) return KOTAR_OK;
        if (decoded.state == DecodeState::damaged) return KOTAR_EDAMAGED;
    }
}

}  // namespace

int ArchiveSource::open(FileDescriptor file) {
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return KOTAR_EREAD;
    if (!S_ISREG(info.st_mode)) return KOTAR_ENOTREGULAR;
    file_ = withoutDirectIo(std::move(file));
    size_ = static_cast<std::uint64_t>(info.st_size);
    kind_ = Kind::plain;

    unsigned char magic[kLongestMagic] = {};
    const long long got = readAt(file_.get(), magic, sizeof magic, 0);
    if (got < 0) return KOTAR_EREAD;
    switch (compressionOf(magic, static_cast<std::size_t>(got))) {
        case Compression::none: return KOTAR_OK;
        case Compression::gzip:
            gzip_.reset(new (std::nothrow) GzipRandomAccess(file_.get()));
            if (!gzip_) return KOTAR_ENOMEM;
            kind_ = Kind::gzip;
            return KOTAR_OK;
        default: break;  // decompressed whole into a cache file
    }

    FileDescriptor own = reopen(file_.get());
    if (!own.valid()) return KOTAR_EREAD;
    const off_t position = ::lseek(own.get(), 0, SEEK_CUR);
    if (position < 0 || ::lseek(own.get(), 0, SEEK_SET) != 0) return KOTAR_EREAD;
    // Without a descriptor the input would read as empty, and the archive
    // as a ktar of the compressed bytes, refused for its magic.
    FileDescriptor input(::fcntl(own.get(), F_DUPFD_CLOEXEC, kFirstOwnDescriptor));
    if (!input.valid()) return KOTAR_EREAD;
    InputSource source(input.release());
    const int status = [&]() -> int {
        const std::unique_ptr<StreamDecoder> decoder = chooseDecoder(source);
        if (!decoder) return KOTAR_ENOMEM;
        if (decoder->passesThrough()) return KOTAR_OK;  // the file changed since its magic was read
        FileDescriptor cache;
        std::uint64_t size = 0;
        const int cached = decompressToCache(*decoder, cache, size);
        if (cached != KOTAR_OK) return cached;
        file_ = std::move(cache);
        size_ = size;
        kind_ = Kind::cached;
        return KOTAR_OK;
    }();
    // A descriptor shared with the caller goes back where it stood.
    ::lseek(own.get(), position, SEEK_SET);
    return status;
}

long long ArchiveSource::read(void* buffer, std::size_t count, std::uint64_t offset) const {
    if (kind_ != Kind::gzip) return readAt(file_.get(), buffer, count, offset);
    std::size_t got = 0;
    switch (gzip_->read(static_cast<unsigned char*>(buffer), count, offset, got)) {
        case GzipRandomAccess::Result::done: return static_cast<long long>(got);
        case GzipRandomAccess::Result::failed: return KOTAR_EREAD;
        case GzipRandomAccess::Result::damaged: return KOTAR_EDAMAGED;
    }
    return KOTAR_EREAD;
}

std::uint64_t ArchiveSource::size() const {
    if (kind_ != Kind::gzip) return size_;
    return gzip_->lengthKnown() ? gzip_->length() : kArchiveLimit;
}

}  // namespace kotar
