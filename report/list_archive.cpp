#include "report/list_archive.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

#include "input/archive_input.h"
#include "format/header_block.h"
#include "format/header_reader.h"
#include "format/indexed_layout.h"
#include "text/messages.h"
#include "text/quoted_text.h"
#include "report/mode_string.h"
#include "kotar/reader.h"
#include "kotar/reader.hpp"

namespace kotar {

namespace {

// A long-name text is kept up to its first NUL and at most this long, so a
// damaged size field cannot make the listing hold gigabytes.
constexpr std::size_t kLongNameLimit = 16 * 1024 * 1024;

// A numeric field in 64 bits; a value beyond 64 bits shows as 0.
long long numberOf(const HeaderBlock& header, HeaderField field) {
    return parseNumericField(header, field).value_or(0);
}

// pax entries hold records for members, not members: they get no line.
bool isPaxEntry(unsigned char type) { return type == kTypePaxHeader || type == kTypePaxGlobal; }

// One listing line.
struct ListedMember {
    unsigned char type;
    std::int64_t mode;
    std::int64_t uid;
    std::int64_t gid;
    std::int64_t size;
    std::int64_t mtime;
    std::string_view name;
};

void printLine(const ListedMember& member) {
    // A time that cannot be broken down (a year past the int range) shows
    // as the epoch.
    const std::time_t mtime = member.mtime;
    std::tm local{};
    if (localtime_r(&mtime, &local) == nullptr) {
        const std::time_t epoch = 0;
        localtime_r(&epoch, &local);
    }
    char permissions[11];
    formatModeString(static_cast<std::int32_t>(member.mode), permissions);
    permissions[0] = typeLetter(member.type);
    // Names are untrusted: printed quoted, never as raw control bytes.
    std::printf("%s %lld/%lld %10lld %.4d-%.2d-%.2d %.2d:%.2d %s\n", permissions,
                static_cast<long long>(member.uid), static_cast<long long>(member.gid),
                static_cast<long long>(member.size), local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, quotedText(member.name).c_str());
}

// A header's line, named by a long name or else by its name field.
void printMember(const HeaderBlock& header, const std::string* longName) {
    printLine({.type = typeflagOf(header),
               .mode = numberOf(header, field::mode),
               .uid = numberOf(header, field::uid),
               .gid = numberOf(header, field::gid),
               .size = numberOf(header, field::size),
               .mtime = numberOf(header, field::mtime),
               .name = longName != nullptr ? std::string_view(*longName) : fieldText(header, field::name)});
}

// Lists an uncompressed indexed archive through the reader library, which
// takes in its header table with one read and checks all of it. False when
// the library refuses the file (compressed, or damaged anywhere): the
// listing then streams, so that it prints what comes before the damage and
// the message that belongs to it.
bool listWithLibrary(const char* path) {
    Archive archive;
    if (archive.open(path) != KOTAR_OK) return false;
    const std::size_t count = kotar_count(archive.get());
    for (std::size_t i = 0; i < count; ++i) {
        const kotar_member& member = *kotar_at(archive.get(), i);
        if (isPaxEntry(static_cast<unsigned char>(member.type))) continue;
        printLine({.type = static_cast<unsigned char>(member.type),
                   .mode = member.mode,
                   .uid = member.uid,
                   .gid = member.gid,
                   .size = static_cast<std::int64_t>(member.size),
                   .mtime = member.mtime,
                   .name = member.name});
    }
    return true;
}

// The lines are the listing's output: losing them is a failure.
int finishListing() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) return fail(message::kWriteOutput);
    return 0;
}

int listHeaders(ArchiveInput& input) {
    HeaderReader reader([&input](unsigned char* block) { return input.read(block, kBlockSize) == kBlockSize; });
    const auto skip = [](const unsigned char*) { return true; };
    HeaderBlock block;
    for (;;) {
        switch (reader.next(block)) {
            case HeaderReader::Next::header: break;
            case HeaderReader::Next::cutShort: return fail(message::kReadInput);
            case HeaderReader::Next::end: return finishListing();
        }
        switch (checkHeader(block, kIndexedMagic)) {
            case HeaderCheck::valid: break;
            case HeaderCheck::badMagic: {
                std::fprintf(stderr, message::kKotarMagic, quotedText(magicText(block)).c_str());
                return -1;
            }
            case HeaderCheck::badChecksum: return fail(message::kChecksum);
        }
        // pax entries: their data lies in the data area, so their header is
        // all the table holds of them.
        if (isPaxEntry(typeflagOf(block))) continue;
        // Long-name entries (and a pax 'x' entry among them), then the
        // member they describe, whose header is taken as it comes. Its name
        // is the 'L' text, else its own name field; a 'K' text is the link
        // target, which the listing does not show.
        std::string name;
        bool haveLongName = false;
        while (isLongNameEntry(block) || isPaxEntry(typeflagOf(block))) {
            if (isPaxEntry(typeflagOf(block))) {
                if (!reader.nextBlock(block)) return fail(message::kReadInput);
                continue;
            }
            const std::int32_t size = parseOctalField(block, field::size);
            if (size < 0) return fail(message::kReadInput);
            LongNameText text(static_cast<std::uint64_t>(size), kLongNameLimit);
            if (reader.follow(block, [&text](const unsigned char* b) { return text.take(b); }) !=
                HeaderReader::Follow::done) {
                return fail(message::kReadInput);
            }
            if (typeflagOf(block) == kTypeLongName) {
                name = std::move(text.text());
                haveLongName = true;
            }
            if (!reader.nextBlock(block)) return fail(message::kReadInput);
        }
        printMember(block, haveLongName ? &name : nullptr);
        if (reader.follow(block, skip) != HeaderReader::Follow::done) return fail(message::kReadInput);
    }
}

// Standard input that is closed, or a terminal, holds no archive.
int openStandardInput(ArchiveInput& input) {
    const int descriptor = fileno(stdin);
    if (fcntl(descriptor, F_GETFD) == -1 || isatty(descriptor)) return -1;
    return input.openStandardInput();
}

}  // namespace

int listArchive(const char* inputPath) {
    if (inputPath != nullptr && listWithLibrary(inputPath)) return finishListing();
    ArchiveInput input;
    const int opened = inputPath != nullptr ? input.open(inputPath) : openStandardInput(input);
    if (opened != 0) {
        std::fprintf(stderr, message::kOpenInput, inputPath != nullptr ? inputPath : "stdin");
        return -1;
    }
    return listHeaders(input);
}

}  // namespace kotar
