#include "output/copy_in_place.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "output/extended_attributes.h"
#include "output/signal_cleanup.h"

namespace kotar {

namespace {

constexpr std::size_t kPiece = 1 << 20;

// Whether the file may reach `size` bytes under the process's limit.
bool withinSizeLimit(off_t size) {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    return static_cast<std::uint64_t>(size) <= static_cast<std::uint64_t>(limit.rlim_cur);
}

// Reserves the blocks the copy needs without changing the file's size or
// bytes. False when the disk or the quota cannot hold them; a file system
// that cannot reserve is copied into anyway.
bool reserve(int descriptor, off_t size) {
    if (size == 0 || fallocate(descriptor, FALLOC_FL_KEEP_SIZE, 0, size) == 0) return true;
    return errno != ENOSPC && errno != EDQUOT && errno != EFBIG;
}

// Copies the bytes from `start` to `end` of `from` to the same place in `to`.
bool copyBytes(int from, int to, off_t start, off_t end) {
    off_t done = start;
    // In the kernel where it can (a reflink, or no trip through user space).
    while (done < end) {
        loff_t in = done;
        loff_t out = done;
        const ssize_t copied = copy_file_range(from, &in, to, &out, static_cast<std::size_t>(end - done), 0);
        if (copied <= 0) break;
        done += copied;
    }
    if (done == end) return true;
    const auto buffer = std::make_unique_for_overwrite<char[]>(kPiece);
    while (done < end) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(end - done, kPiece));
        const ssize_t got = pread(from, buffer.get(), want, done);
        if (got <= 0) return false;
        for (ssize_t written = 0; written < got;) {
            const ssize_t step = pwrite(to, buffer.get() + written, static_cast<std::size_t>(got - written), done + written);
            if (step <= 0) return false;
            written += step;
        }
        done += got;
    }
    return true;
}

}  // namespace

int copyInPlace(int staged, int destination) {
    struct stat source {};
    struct stat before {};
    if (fstat(staged, &source) != 0 || fstat(destination, &before) != 0) return -1;
    if (!withinSizeLimit(source.st_size)) {
        errno = EFBIG;
        return -1;
    }
    ExtendedAttributes attributes;
    const bool attributesRead = attributes.read(destination);

    const CleanupSignalsBlocked blocked;
    if (!reserve(destination, source.st_size)) return -1;
    // What goes past the file's end first: appended, it changes none of
    // the earlier bytes, so where the file system could not reserve the
    // space, a disk that fills here is undone by cutting the file back.
    const off_t overlap = std::min(before.st_size, source.st_size);
    if (!copyBytes(staged, destination, overlap, source.st_size)) {
        const int error = errno;
        [[maybe_unused]] const int cut = ftruncate(destination, before.st_size);
        errno = error;
        return -1;
    }
    if (!copyBytes(staged, destination, 0, overlap) || ftruncate(destination, source.st_size) != 0) return -1;
    // Best effort: only the owner (or root) may set the bits again.
    struct stat after {};
    if (fstat(destination, &after) == 0 && (after.st_mode & 07777) != (before.st_mode & 07777)) {
        fchmod(destination, before.st_mode & 07777);
    }
    if (attributesRead) attributes.applyTo(destination);
    return 0;
}

}  // namespace kotar
