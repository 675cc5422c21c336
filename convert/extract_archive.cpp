#include "convert/extract_archive.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "input/archive_input.h"
#include "input/retained_input.h"
#include "format/header_block.h"
#include "format/table_walk.h"
#include "format/indexed_layout.h"
#include "output/member_copy.h"
#include "text/console_streams.h"
#include "text/messages.h"
#include "text/progress_line.h"
#include "output/output_file.h"
#include "output/path_rules.h"
#include "text/quoted_text.h"
#include "files/table_spool.h"
#include "convert/conversion_ends.h"

// Extraction reads its input in one forward pass where the archive allows:
// first the header table, gathered into a TableSpool, then the member data,
// which an archive that creation wrote holds in header order. Only data
// that lies before what has been read needs going back, which a pipe cannot
// do. A compressed file can go back only by decoding again from its start:
// when its table shows data out of header order, it is decoded once more,
// from the start to the end of the data, into a kept copy (RetainedInput)
// from which every member is copied, so that the work stays linear in the
// input whatever the offsets. The plain tar is written front to back, so
// the destination may be a pipe too.

namespace kotar {

namespace {

// Input positions are signed 32-bit in this format; output positions must
// stay within 32 bits.
constexpr std::uint64_t kInputPositionLimit = kArchiveLimit;
constexpr std::uint64_t kOutputPositionLimit = std::uint64_t{1} << 32;

// Where the table says that member data lies: whether in header order, each
// member's data at or after the end of the data before it, and where the
// data that lies furthest ends. Sizes and offsets that extraction refuses
// are left out: the extraction stops at them.
class DataPlacement {
public:
    void add(const TableEntry& entry) {
        const std::uint32_t dataOffset = readExtensionField(entry.header, kDataOffsetAt);
        if (!entry.size || *entry.size == 0 || dataOffset >= kInputPositionLimit) return;
        if (dataOffset < end_) inOrder_ = false;
        end_ = std::max(end_, std::uint64_t{dataOffset} + *entry.size);
    }
    bool inOrder() const { return inOrder_; }
    std::uint64_t end() const { return end_; }

private:
    bool inOrder_ = true;
    std::uint64_t end_ = 0;
};

// Gathers the blocks of the header table, up to and including the block
// that ends it: the zero block, or the first bad one (which the extraction
// reports when it comes to it), and notes where the data lies. A table cut
// short simply ends early.
int gatherTable(ArchiveInput& input, TableSpool& table, DataPlacement& placement) {
    const auto keep = [&table](TableWalk::BlockRole, const unsigned char* block) { return table.append(block); };
    TableWalk walk([&input](unsigned char* block) { return input.read(block, kBlockSize) == kBlockSize; },
                   TableWalk::Checksums::count, keep);
    TableEntry entry;
    for (;;) {
        switch (walk.next(entry)) {
            case WalkStep::entry: placement.add(entry); continue;
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
    // Member data comes from `copy` when it is given, else from `data`,
    // which is read to its end either way.
    Extraction(TableSpool& table, ArchiveInput& data, const RetainedInput* copy, OutputFile& output)
        : table_(table),
          walk_([&table](unsigned char* block) { return table.next(block); }, TableWalk::Checksums::count,
                [this](TableWalk::BlockRole role, const unsigned char* block) { return writeBlock(role, block); }),
          data_(data),
          copy_(copy),
          output_(output) {}

    int run() {
        // Only a spilled table can fail here, when its last blocks cannot be
        // written out: the disk beside the destination is full.
        if (!table_.rewind()) return fail(message::kWriteOutput);
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
                    progressClear();
                    std::fprintf(stderr, message::kKotarMagic, quotedText(magicText(entry.header)).c_str());
                    return noteUnreadCompression(data_.unreadCompression());
                // A size beyond 32 bits (base-256, or octal of 2^31 or more)
                // would be taken for another; no archive that kotar writes
                // holds one.
                case WalkStep::badSize: return fail(message::kInvalidInput);
                case WalkStep::refused: return fail(writeFailure_);
                case WalkStep::cutShort:
                    fail(message::kReadInput);
                    return noteUnreadCompression(data_.unreadCompression());
                case WalkStep::badChecksum:  // only counted here
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
        if (!entry.size || dataOffset >= kInputPositionLimit || next >= kOutputPositionLimit) {
            return fail(message::kInvalidInput);
        }
        if (const int status = copyBytes(dataOffset, size); status != 0) return status;
        if (output_.padTo(next) != 0) return fail(message::kWriteOutput);
        return 0;
    }

    // The bytes from the kept copy, or from the stream, where data before
    // what has been read cannot be had from a pipe.
    int copyBytes(std::uint32_t dataOffset, std::uint64_t size) {
        CopyOutcome outcome;
        if (copy_ != nullptr) {
            outcome = copier_.copyFromFile(copy_->descriptor(), dataOffset, output_, size);
        } else {
            const bool behind = dataOffset < static_cast<std::uint64_t>(data_.tell()) && !data_.seekable();
            if (behind || data_.seek(dataOffset, SEEK_SET) < 0) return fail(message::kInvalidInput);
            outcome = copier_.copy(data_, output_, size);
        }
        switch (outcome) {
            case CopyOutcome::copied: return 0;
            case CopyOutcome::readFailed: return fail(message::kReadInput);
            case CopyOutcome::writeFailed: return fail(message::kWriteOutput);
        }
        return 0;
    }

    TableSpool& table_;
    TableWalk walk_;
    ArchiveInput& data_;
    const RetainedInput* copy_;
    OutputFile& output_;
    MemberCopier copier_;
    const char* writeFailure_ = message::kWriteOutput;
};

// Keeps the decoded stream, from its start to the end of the data, in
// `copy`. The stream may end sooner: a member whose data lies past its end
// fails when it is copied, as it would from the stream, and the rest of the
// stream is checked at the end of the extraction.
int keepDecodedData(ArchiveInput& input, const DataPlacement& placement, const std::string& directory,
                    RetainedInput& copy) {
    if (input.seek(0, SEEK_SET) != 0) return fail(message::kReadInput);
    if (copy.open(input, directory) != 0) return fail(message::kWriteOutput);
    static_cast<void>(copy.skip(placement.end()));  // a stream that ends first is no failure yet
    // Every byte that went by must be in the copy.
    struct stat kept {};
    if (!copy.finish() || fstat(copy.descriptor(), &kept) != 0 ||
        static_cast<std::uint64_t>(kept.st_size) != copy.position()) {
        return fail(message::kWriteOutput);
    }
    return 0;
}

}  // namespace

int extractArchive(const char* inputPath, const char* destinationPath) {
    ArchiveInput input;
    OutputFile output;
    if (openConversionEnds(inputPath, destinationPath, input, output) != 0) return -1;
    const std::string workDirectory = workDirectoryFor(destinationPath);
    TableSpool table(workDirectory);
    DataPlacement placement;
    if (gatherTable(input, table, placement) != 0) return -1;
    RetainedInput copy;
    const bool keepCopy = !placement.inOrder() && input.compressed() && input.seekable();
    if (keepCopy && keepDecodedData(input, placement, workDirectory, copy) != 0) return -1;
    if (Extraction(table, input, keepCopy ? &copy : nullptr, output).run() != 0) return -1;
    // A trace or warning that could not be written fails the run too.
    if (!consoleDelivered()) return fail(message::kWriteOutput);
    if (output.close() != 0) return fail(message::kWriteOutput);
    return 0;
}

}  // namespace kotar
