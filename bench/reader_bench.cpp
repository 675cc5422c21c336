// Times libkotar on one archive: kotar_open (header table read and name
// index built) as the median of many opens, kotar_find averaged over every
// member name, and the peak memory that an open adds above the size of the
// header table. Prints one "name value" line per figure.
// With --checkpoints, reads a kgz from end to end and prints how many
// checkpoints that left and their average size.
//
//   reader_bench ARCHIVE.ktar [opens]
//   reader_bench --checkpoints ARCHIVE.kgz
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kotar/reader.h"
#include "lib/gzip_random_access.h"

namespace {

using Clock = std::chrono::steady_clock;

long peakKib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Bytes from the start of the file to the end of its first zero block.
long long tableBytes(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    unsigned char block[512];
    long long at = 0;
    while (pread(fd, block, sizeof block, at) == static_cast<ssize_t>(sizeof block)) {
        at += 512;
        if (std::all_of(block, block + sizeof block, [](unsigned char b) { return b == 0; })) break;
    }
    close(fd);
    return at;
}

int checkpointFigures(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    std::size_t checkpoints = 0;
    std::size_t bytes = 0;
    {
        kotar::GzipRandomAccess stream(fd);
        std::vector<unsigned char> piece(1 << 20);
        std::size_t got = 0;
        std::uint64_t at = 0;
        while (stream.read(piece.data(), piece.size(), at, got) == kotar::GzipRandomAccess::Result::done && got > 0) {
            at += got;
        }
        checkpoints = stream.checkpoints();
        bytes = stream.checkpointBytes();
    }
    close(fd);
    std::printf("checkpoints %zu\n", checkpoints);
    std::printf("checkpoint_kib_each %.1f\n", checkpoints == 0 ? 0.0 : double(bytes) / 1024 / double(checkpoints));
    return checkpoints == 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--checkpoints") return checkpointFigures(argv[2]);
    if (argc < 2) {
        std::fprintf(stderr, "usage: reader_bench ARCHIVE [opens] | --checkpoints ARCHIVE.kgz\n");
        return 2;
    }
    const char* path = argv[1];
    const int opens = argc > 2 ? std::atoi(argv[2]) : 200;

    // The first open, alone: its peak memory.
    const long before = peakKib();
    kotar_archive* archive = nullptr;
    if (const int status = kotar_open(path, &archive); status < 0) {
        std::fprintf(stderr, "reader_bench: %s: %s\n", path, kotar_strerror(status));
        return 1;
    }
    const long openedPeak = peakKib();

    std::vector<double> openTimes;
    for (int i = 0; i < opens; ++i) {
        kotar_archive* again = nullptr;
        const auto start = Clock::now();
        const int status = kotar_open(path, &again);
        openTimes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        kotar_close(again);
        if (status < 0) return 1;
    }
    std::sort(openTimes.begin(), openTimes.end());

    const std::size_t count = kotar_count(archive);
    std::vector<std::string> names;
    for (std::size_t i = 0; i < count; ++i) names.emplace_back(kotar_at(archive, i)->name);
    std::size_t found = 0;
    const int rounds = 200;
    const auto start = Clock::now();
    for (int round = 0; round < rounds; ++round) {
        for (const std::string& name : names) found += kotar_find(archive, name.c_str()) != nullptr;
    }
    const double findNs =
        std::chrono::duration<double, std::nano>(Clock::now() - start).count() / (double(rounds) * double(count));
    kotar_close(archive);

    const long long table = tableBytes(path);
    std::printf("members %zu\n", count);
    std::printf("table_kib %.1f\n", double(table) / 1024);
    std::printf("open_ms_median %.3f\n", openTimes[openTimes.size() / 2]);
    std::printf("open_ms_min %.3f\n", openTimes.front());
    std::printf("find_ns_per_lookup %.1f\n", findNs);
    std::printf("found %zu of %zu\n", found / rounds, count);
    std::printf("peak_kib_above_table %ld\n", openedPeak - before - static_cast<long>(table / 1024));
    return found == count * rounds ? 0 : 1;
}
