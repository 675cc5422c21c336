#include "convert/extract_archive.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "input/archive_input.h"
#include "format/header_block.h"
#include "format/table_walk.h"
#include "format/indexed_layout.h"
#include "output/member_copy.h"
#include "text/messages.h"
#include "output/output_file.h"
#include "output/path_rules.h"
#include "text/quoted_text.h"
#include "files/table_spool.h"
#include "convert/conversion_ends.h"

// Extraction reads its input in one forward pass where the archive allows:
// first the header table, gathered into a TableSpool, then the member data,
// which an archive that creation wrote holds in header order. Only data
// that lies before what has been read needs going back, which a pipe cannot
// do. The plain tar is written front to back, so the destination may be a
// pipe too.

namespace kotar {

namespace {

// Input positions are signed 32-bit in this format; output positions must
// stay within 32 bits.
constexpr std::uint64_t kInputPositionLimit = kArchiveLimit;
constexpr std::uint64_t kOutputPositionLimit = std::uint64_t{1} << 32;

// Gathers the blocks of the header table, up to and including the block
// that ends it: the zero block, or the first bad one (which the extraction
// reports when it comes to it). A table cut short simply ends early.
int gatherTable(ArchiveInput& input, TableSpool& table) {
    const auto keep = [&table](TableWalk::BlockRole, const unsigned char* block) { return table.append(block); };
    TableWalk walk([&input](unsigned char* block) { return input.read(block, kBlockSize) == kBlockSize; },
                   TableWalk::Checksums::count, keep);
    TableEntry entry;
    for (;;) {
        switch (walk.next(entry)) {
            case WalkStep::entry: continue;
            case WalkStep::cutShort: return 0;
            case WalkStep::refused: return fail(message::kWriteOutput);
            case WalkStep::end:
            case WalkStep::badMagic:
            case WalkStep::badChecksum:
            case WalkStep::badSize:
            case WalkStep::badLongName: return table.append(entry.header.data()) ? 0 : fail(message::kWriteOutput);
        }
    }
}

// Walks the gathered header table in order: each header back to the plain
// form, followed by its long-name text, sparse extension blocks or data.
class Extraction {
public:
    Extraction(TableSpool& table, ArchiveInput& data, OutputFile& output)
        : table_(table),
          walk_([&table](unsigned char* block) { return table.next(block); }, TableWalk::Checksums::count,
                [this](TableWalk::BlockRole role, const unsigned char* block) { return writeBlock(role, block); }),
          data_(data),
          output_(output) {}

    int run() {
        if (!table_.rewind()) return fail(message::kReadInput);
        TableEntry entry;
        for (;;) {
            const WalkStep step = walk_.next(entry);
            for (unsigned i = 0; i < entry.badChecksums; ++i) fail(message::kChecksum);  // a warning: extraction goes on
            switch (step) {
                case WalkStep::entry: break;
                case WalkStep::end:
                    // Compressed input is read to its end, so that every
                    // trailer is checked: a damaged stream must not pass for
                    // a whole one.
                    if (!data_.readToEnd()) return fail(message::kReadInput);
                    return writeEndOfArchive();
                case WalkStep::badMagic:
                    std::fprintf(stderr, message::kKotarMagic, quotedText(magicText(entry.header)).c_str());
                    return -1;
                // A size beyond 32 bits (base-256, or octal of 2^31 or more)
                // would be taken for another; no archive that kotar writes
                // holds one.
                case WalkStep::badSize: return fail(message::kInvalidInput);
                case WalkStep::refused: return fail(writeFailure_);
                case WalkStep::badChecksum:  // only counted here
                case WalkStep::cutShort:
                case WalkStep::badLongName: return fail(message::kReadInput);
            }
            if (const int status = copyData(entry); status != 0) return status;
        }
    }

private:
    int writeEndOfArchive() {
        const HeaderBlock zeros{};
        for (int i = 0; i < 2; ++i) {
            if (!output_.write(zeros.data(), zeros.size())) return fail(message::kWriteEnd);
        }
        return 0;
    }

    // Every block of an entry as the walk reads it: headers in the plain
    // form (an aligned executable as a regular file, the indexed fields
    // cleared), long-name text and sparse extension blocks as they are.
    bool writeBlock(TableWalk::BlockRole role, const unsigned char* block) {
        writeFailure_ = message::kWriteOutput;
        if (role != TableWalk::BlockRole::header) return output_.write(block, kBlockSize);
        HeaderBlock header;
        std::copy_n(block, kBlockSize, header.begin());
        if (!isLongNameEntry(header)) {
            writeFailure_ = message::kWriteData;
            if (typeflagOf(header) == kTypeAlignedExecutable) header[field::typeflag.offset] = kTypeRegular;
            std::fill_n(header.begin() + field::extension.offset, field::extension.width, 0);
        }
        finishPlainHeader(header);
        return output_.write(header.data(), header.size());
    }

    // A member's data, fetched from dataOffset, and a gap up to the next
    // block that reads as zeros.
    int copyData(const TableEntry& entry) {
        if (entry.size == 0) return 0;
        const std::uint32_t dataOffset = readExtensionField(entry.header, kDataOffsetAt);
        const std::uint64_t size = entry.size.value_or(0);
        const std::uint64_t next = output_.tell() + roundUp(size, kBlockSize);
        // Data before what has been read cannot be had from a pipe.
        const bool behind = dataOffset < static_cast<std::uint64_t>(data_.tell()) && !data_.seekable();
        if (!entry.size || dataOffset >= kInputPositionLimit || next >= kOutputPositionLimit || behind ||
            data_.seek(dataOffset, SEEK_SET) < 0) {
            return fail(message::kInvalidInput);
        }
        switch (copier_.copy(data_, output_, size)) {
            case CopyOutcome::copied: break;
            case CopyOutcome::readFailed: return fail(message::kReadInput);
            case CopyOutcome::writeFailed: return fail(message::kWriteOutput);
        }
        if (output_.padTo(next) != 0) return fail(message::kWriteOutput);
        return 0;
    }

    TableSpool& table_;
    TableWalk walk_;
    ArchiveInput& data_;
    OutputFile& output_;
    MemberCopier copier_;
    const char* writeFailure_ = message::kWriteOutput;
};

}  // namespace

int extractArchive(const char* inputPath, const char* destinationPath) {
    ArchiveInput input;
    OutputFile output;
    if (openConversionEnds(inputPath, destinationPath, input, output) != 0) return -1;
    TableSpool table(workDirectoryFor(destinationPath));
    if (gatherTable(input, table) != 0 || Extraction(table, input, output).run() != 0) return -1;
    if (output.close() != 0) return fail(message::kWriteOutput);
    return 0;
}

}  // namespace kotar
