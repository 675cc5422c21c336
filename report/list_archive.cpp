#include "report/list_archive.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

#include "input/archive_input.h"
#include "format/header_block.h"
#include "format/indexed_layout.h"
#include "format/table_walk.h"
#include "text/messages.h"
#include "text/quoted_text.h"
#include "report/listed_records.h"
#include "report/mode_string.h"
#include "kotar/reader.h"
#include "kotar/reader.hpp"

namespace kotar {

namespace {

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
    // as the epoch, as does one whose year number, 1900 more than tm_year,
    // would not fit an int.
    const std::time_t mtime = member.mtime;
    std::tm local{};
    if (localtime_r(&mtime, &local) == nullptr || local.tm_year > INT_MAX - 1900) {
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

// A table entry's line, named by its long name or else by its name field;
// a GNU sparse member's size is its real size, holes included. The records
// of a kept 'x' entry before it, when they could be read, go over these as
// tar -tv applies them.
void printEntry(const TableEntry& entry, const ListedRecords& records) {
    const HeaderBlock& header = entry.header;
    const bool sparse = typeflagOf(header) == kTypeSparse;
    printLine({.type = typeflagOf(header),
               .mode = numberOf(header, field::mode),
               .uid = records.uid.value_or(numberOf(header, field::uid)),
               .gid = records.gid.value_or(numberOf(header, field::gid)),
               .size = records.size.value_or(numberOf(header, sparse ? field::sparseRealSize : field::size)),
               .mtime = records.mtime.value_or(numberOf(header, field::mtime)),
               .name = records.name ? std::string_view(*records.name) : entry.name()});
}

// An 'x' entry's records as the listing applies them, read from its data in
// the file; nothing when the input is no plain file (the data area lies
// past the table, which a stream does not go back to) or the data cannot be
// read. kotar -c leaves in such an entry only what the header cannot hold,
// and folds into the header what tar -tv shows of the rest.
ListedRecords recordsOfEntry(const TableEntry& entry, int plainFile) {
    constexpr std::uint64_t kLargestEntry = 1024 * 1024;  // as creation takes them
    const std::uint32_t at = readExtensionField(entry.header, kDataOffsetAt);
    if (plainFile < 0 || !entry.size || *entry.size > kLargestEntry) return {};
    std::string data(static_cast<std::size_t>(*entry.size), '\0');
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t got = ::pread(plainFile, data.data() + done, data.size() - done, static_cast<off_t>(at + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return {};
        done += static_cast<std::size_t>(got);
    }
    return listedRecordsOf(data);
}

// Lists an uncompressed indexed archive in a regular file through the reader
// library, which takes in its header table with one read and checks all of
// it. False when the library refuses the file (damaged anywhere): the
// listing then streams from the same descriptor, so that it prints what
// comes before the damage and the message that belongs to it.
//
// The library's members carry no sparse map and no pax records: an archive
// with a GNU sparse member or a kept 'x' entry streams as well.
bool listWithLibrary(int descriptor) {
    Archive archive;
    if (archive.openFd(descriptor) != KOTAR_OK) return false;
    const std::size_t count = kotar_count(archive.get());
    for (std::size_t i = 0; i < count; ++i) {
        const char type = kotar_at(archive.get(), i)->type;
        if (type == static_cast<char>(kTypeSparse) || type == static_cast<char>(kTypePaxHeader)) return false;
    }
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

// Streams the header table, printing each entry's line until the table ends
// or a bad block stops it.
int listHeaders(ArchiveInput& input) {
    TableWalk walk([&input](unsigned char* block) { return input.read(block, kBlockSize) == kBlockSize; });
    TableEntry entry;
    ListedRecords records;  // of the 'x' entry before the next member
    for (;;) {
        switch (walk.next(entry)) {
            case WalkStep::entry: break;
            case WalkStep::end: return finishListing();
            case WalkStep::badMagic:
                std::fprintf(stderr, message::kKotarMagic, quotedText(magicText(entry.header)).c_str());
                return noteUnreadCompression(input.unreadCompression());
            case WalkStep::badChecksum: return fail(message::kChecksum);
            case WalkStep::cutShort:
                fail(message::kReadInput);
                return noteUnreadCompression(input.unreadCompression());
            case WalkStep::badSize:
            case WalkStep::badLongName:
            case WalkStep::refused: return fail(message::kReadInput);
        }
        // pax entries get no line of their own; an 'x' entry's records go
        // to the line after it.
        const unsigned char type = typeflagOf(entry.header);
        if (type == kTypePaxHeader) {
            records = recordsOfEntry(entry, input.plainFileDescriptor());
        } else if (type != kTypePaxGlobal) {
            printEntry(entry, records);
            records = {};
        }
    }
}

// Standard input that is closed, or a terminal, holds no archive.
int openStandardInput(ArchiveInput& input) {
    const int descriptor = fileno(stdin);
    if (fcntl(descriptor, F_GETFD) == -1 || isatty(descriptor)) return -1;
    return input.openStandardInput();
}

}  // namespace

// The input is opened once: a regular uncompressed file is listed through
// the library's table, anything else (compressed, a pipe, standard input)
// streams from the same descriptor.
int listArchive(const char* inputPath) {
    ArchiveInput input;
    // /dev/stdin is standard input too, read from where it stands as -x and
    // -c read it: opened again, a file would start over at its first byte,
    // and a socket would fail.
    const bool namedStandardInput =
        inputPath != nullptr && std::strcmp(inputPath, "/dev/stdin") == 0 && fcntl(STDIN_FILENO, F_GETFD) != -1;
    int opened = 0;
    if (inputPath == nullptr) {
        opened = openStandardInput(input);
    } else {
        opened = namedStandardInput ? input.openDescriptor(STDIN_FILENO) : input.open(inputPath);
    }
    if (opened != 0) {
        std::fprintf(stderr, message::kOpenInput, inputPath != nullptr ? inputPath : "stdin");
        return -1;
    }
    if (input.plainFileDescriptor() >= 0 && listWithLibrary(input.plainFileDescriptor())) return finishListing();
    return listHeaders(input);
}

}  // namespace kotar
