#include "report/verify_archive.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "files/byte_source.h"
#include "files/file_descriptor.h"
#include "format/indexed_layout.h"
#include "format/table_walk.h"
#include "text/messages.h"
#include "text/quoted_text.h"
#include "text/verbose.h"
#include "elfscan/analyze_executable.h"
#include "kotar/reader.h"
#include "kotar/reader.hpp"

namespace kotar {

namespace {

// Problem lines on standard output: the member's name, quoted, then the problem.
class Report {
public:
    void problem(std::string_view name, const std::string& text) {
        std::printf("%s: %s\n", quotedText(name).c_str(), text.c_str());
        ++problems_;
    }
    unsigned problems() const { return problems_; }

    int summary(std::size_t members, std::size_t aligned) const {
        std::printf("%zu members, %zu aligned executables: ", members, aligned);
        if (problems_ == 0) {
            std::printf("ok\n");
        } else {
            std::printf("%u problem%s\n", problems_, problems_ == 1 ? "" : "s");
        }
        if (std::fflush(stdout) != 0) return -1;
        return problems_ == 0 ? 0 : -1;
    }

private:
    unsigned problems_ = 0;
};

struct TableFacts {
    bool indexed = false;       // the first header has the indexed magic
    std::uint64_t end = 0;      // the first byte after the zero block; 0 when not reached
    std::size_t members = 0;
    std::size_t aligned = 0;
};

// Walks the header table entry by entry, so that a header with a bad magic
// or checksum is named; the library refuses such a table as a whole.
TableFacts walkHeaderTable(int descriptor, std::string_view path, Report& report) {
    TableFacts facts;
    const FileByteSource file(descriptor);
    std::uint64_t at = 0;
    TableWalk walk(
        [&](unsigned char* block) {
            if (file.readAt(at, block, kBlockSize) != kBlockSize) return false;
            at += kBlockSize;
            return true;
        },
        TableWalk::Checksums::count);
    const auto endsInTable = [&]() {
        report.problem(path, "the archive ends inside its header table");
        return facts;
    };
    TableEntry entry;
    for (;;) {
        const WalkStep step = walk.next(entry);
        // Headers before a bad one had the indexed magic.
        if (step != WalkStep::badMagic && step != WalkStep::cutShort) facts.indexed = true;
        for (unsigned i = 0; i < entry.badChecksums; ++i) report.problem(entry.name(), "header checksum mismatch");
        switch (step) {
            case WalkStep::entry: break;
            case WalkStep::end:
                facts.end = at;
                return facts;
            case WalkStep::cutShort:
            case WalkStep::refused: return facts.indexed ? endsInTable() : facts;
            case WalkStep::badMagic:
                // Past a foreign block the table's structure is unknown.
                if (facts.indexed) {
                    report.problem(entry.name(), "invalid kotar magic '" + quotedText(magicText(entry.header)) + "'");
                }
                return facts;
            case WalkStep::badChecksum: return facts;  // counted, never refused
            case WalkStep::badSize:
                report.problem(entry.name(), "long-name size out of range");
                return facts;
            case WalkStep::badLongName:
                report.problem(path, kotar_strerror(KOTAR_ELONGNAME));
                return facts;
        }
        ++facts.members;
        if (typeflagOf(entry.header) == kTypeAlignedExecutable) ++facts.aligned;
    }
}

std::string number(std::uint64_t value) { return std::to_string(value); }

// An aligned executable: its boundary, its ELF magic, and its stored layout
// against a fresh analysis of its data.
void checkExecutable(const kotar_archive* archive, const kotar_member& member, const ByteSource& archiveBytes,
                     std::uint64_t executableAlignment, Report& report) {
    for (const std::uint64_t boundary : {std::uint64_t{kPageSize}, executableAlignment}) {
        if (member.data_offset % boundary != 0) {
            report.problem(member.name, "aligned executable at " + number(member.data_offset) + ", not on a " +
                                            number(boundary) + "-byte boundary");
            break;
        }
    }
    unsigned char magic[sizeof kElfMagic] = {};
    if (kotar_read(archive, &member, 0, magic, sizeof magic) != static_cast<long long>(sizeof magic) ||
        std::memcmp(magic, kElfMagic, sizeof magic) != 0) {
        report.problem(member.name, "aligned executable without the ELF magic at its data offset");
        return;
    }
    const bool wasVerbose = verbose;
    verbose = false;
    const std::optional<ExecutableLayout> layout =
        analyzeExecutable(archiveBytes, std::int64_t{member.data_offset}, HeaderBlock{});
    verbose = wasVerbose;
    if (!layout) {
        report.problem(member.name, "the executable could not be analysed");
        return;
    }
    const struct {
        const char* field;
        std::uint32_t stored;
        std::uint32_t analysed;
    } fields[] = {
        {"text offset", member.text_offset, layout->textOffset},
        {"text pages", member.text_pages, layout->textPgs},
        {"fix-up pages", member.fixup_pages, layout->fixUpPgs},
    };
    for (const auto& f : fields) {
        if (f.stored != f.analysed) {
            report.problem(member.name, std::string(f.field) + " " + number(f.stored) + ", the analysis gives " +
                                            number(f.analysed));
        }
    }
}

// Every member through the library: where its data lies, and each aligned
// executable.
void checkMembers(const kotar_archive* archive, const ByteSource& archiveBytes, std::uint64_t tableEnd,
                  std::uint64_t executableAlignment, Report& report) {
    std::uint64_t previousStart = 0;
    std::uint64_t previousEnd = tableEnd;  // data starts after the table's zero block
    for (std::size_t i = 0; i < kotar_count(archive); ++i) {
        const kotar_member& member = *kotar_at(archive, i);
        if (member.size > 0) {
            const std::uint64_t start = member.data_offset;
            if (start < tableEnd) {
                report.problem(member.name, "data at " + number(start) + " inside the header table");
            } else if (start < previousStart) {
                report.problem(member.name, "data at " + number(start) + " before the previous member's");
            } else if (start < previousEnd) {
                report.problem(member.name, "data at " + number(start) + " overlaps the previous member's, which ends at " +
                                                number(previousEnd));
            }
            previousStart = start;
            previousEnd = std::max(previousEnd, start + member.size);
        }
        if (member.aligned) checkExecutable(archive, member, archiveBytes, executableAlignment, report);
    }
}

}  // namespace

int verifyArchive(const char* path, std::uint64_t executableAlignment) {
    const FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        std::fprintf(stderr, message::kOpenInput, path);
        return -1;
    }
    Report report;
    const TableFacts table = walkHeaderTable(file.get(), path, report);
    if (!table.indexed) report.problem(path, "not an indexed archive");
    if (report.problems() > 0) return report.summary(table.members, table.aligned);

    Archive archive;
    if (const int status = archive.open(path); status != KOTAR_OK) {
        report.problem(path, kotar_strerror(status));
        return report.summary(table.members, table.aligned);
    }
    checkMembers(archive.get(), FileByteSource(file.get()), table.end, executableAlignment, report);
    return report.summary(table.members, table.aligned);
}

}  // namespace kotar
