#include "output/positional_copy.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "decode/decoding_thread.h"
#include "format/indexed_layout.h"

namespace kotar {

namespace {

// A thread takes this much of a piece at a time: large enough that taking
// costs nothing, small enough that two threads share a large member.
constexpr std::uint64_t kSlice = 32 * kPositionalCopyBuffer;

struct Slice {
    std::size_t piece;
    std::uint64_t start;  // within the piece
    std::uint64_t size;
};

// What the threads share: the slices, the next one to take, and which
// pieces fell short.
struct SharedCopy {
    std::span<const FileCopy> copies;
    int to;
    std::vector<Slice> slices;
    std::atomic<std::size_t> next{0};
    std::unique_ptr<std::atomic<bool>[]> fellShort;

    void work() {
        const CopyBuffer buffer = newCopyBuffer();
        if (!buffer) return;  // the other threads take the slices
        for (;;) {
            const std::size_t taken = next.fetch_add(1, std::memory_order_relaxed);
            if (taken >= slices.size()) return;
            const Slice& slice = slices[taken];
            const FileCopy& copy = copies[slice.piece];
            const std::uint64_t copied = copyByPosition(copy.from, copy.fromOffset + slice.start, to,
                                                        copy.toOffset + slice.start, slice.size, buffer.get());
            if (copied != slice.size) fellShort[slice.piece].store(true, std::memory_order_relaxed);
        }
    }

    static void* threadMain(void* shared) {
        static_cast<SharedCopy*>(shared)->work();
        return nullptr;
    }
};

}  // namespace

CopyBuffer newCopyBuffer() {
    return CopyBuffer(static_cast<unsigned char*>(std::aligned_alloc(kPageSize, kPositionalCopyBuffer)));
}

// Through one page-aligned buffer with pread and pwrite. copy_file_range,
// which moves the bytes inside the kernel, measured slower between ext4
// files (44 % more processor time for -c of a plain tar on one CPU: the
// kernel copies page by page through a pipe) and no faster on tmpfs.
//
// The buffer starts on a page, so it lies a multiple of 512 bytes from the
// file pages it is copied from and to: malloc's 16 bytes past a page made
// the kernel's copy from a page-aligned file offset run at less than half
// its speed. Pieces end on the output's buffer-size boundaries: the page
// cache then takes each whole piece in large folios, which measured 10 %
// faster than pieces that merely start on a page.
std::uint64_t copyByPosition(int in, std::uint64_t inStart, int out, std::uint64_t outStart, std::uint64_t size,
                             unsigned char* buffer) {
    std::uint64_t copied = 0;
    while (copied < size) {
        const std::uint64_t toBoundary = kPositionalCopyBuffer - (outStart + copied) % kPositionalCopyBuffer;
        const auto piece = static_cast<std::size_t>(std::min(size - copied, toBoundary));
        const ssize_t got = ::pread(in, buffer, piece, static_cast<off_t>(inStart + copied));
        if (got <= 0) break;
        const ssize_t put =
            ::pwrite(out, buffer, static_cast<std::size_t>(got), static_cast<off_t>(outStart + copied));
        if (put > 0) copied += static_cast<std::uint64_t>(put);
        if (put != got) break;
    }
    return copied;
}

std::size_t copyOnThreads(std::span<const FileCopy> copies, int to, int threads) {
    SharedCopy shared;
    shared.copies = copies;
    shared.to = to;
    shared.fellShort.reset(new (std::nothrow) std::atomic<bool>[copies.size()]);
    if (!shared.fellShort) return 0;
    for (std::size_t i = 0; i < copies.size(); ++i) {
        shared.fellShort[i].store(false, std::memory_order_relaxed);
        for (std::uint64_t start = 0; start < copies[i].size; start += kSlice) {
            shared.slices.push_back({i, start, std::min(kSlice, copies[i].size - start)});
        }
    }

    // The helpers take no signals: those reach the main thread, whose
    // handlers clean up.
    std::vector<pthread_t> helpers;
    for (int i = 1; i < threads; ++i) {
        pthread_t helper{};
        if (startSignalFreeThread(helper, &SharedCopy::threadMain, &shared)) helpers.push_back(helper);
    }
    shared.work();
    for (const pthread_t helper : helpers) pthread_join(helper, nullptr);

    // Slices that no thread could take (no buffer anywhere) fell short too.
    for (std::size_t i = shared.next.load(); i < shared.slices.size(); ++i) {
        shared.fellShort[shared.slices[i].piece].store(true);
    }
    std::size_t first = 0;
    while (first < copies.size() && !shared.fellShort[first].load()) ++first;
    return first;
}

}  // namespace kotar
