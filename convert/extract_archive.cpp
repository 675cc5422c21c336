#include "convert/extract_archive.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "input/archive_input.h"
#include "format/header_block.h"
#include "format/header_reader.h"
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
// that ends it: the zero block, or the first that is not an indexed header
// (which the extraction reports when it comes to it). A table cut short
// simply ends early, as does one whose blocks cannot be counted.
int gatherTable(ArchiveInput& input, TableSpool& table) {
    HeaderReader reader([&input](unsigned char* block) { return input.read(block, kBlockSize) == kBlockSize; });
    const auto keep = [&table](const unsigned char* block) { return table.append(block); };
    HeaderBlock header;
    for (;;) {
        const HeaderReader::Next next = reader.next(header);
        if (next == HeaderReader::Next::cutShort) return 0;
        if (!keep(header.data())) return fail(message::kWriteOutput);
        if (next == HeaderReader::Next::end || !hasMagic(header, kIndexedMagic)) return 0;
        switch (reader.follow(header, keep)) {
            case HeaderReader::Follow::done: break;
            case HeaderReader::Follow::cutShort:
            case HeaderReader::Follow::badSize: return 0;
            case HeaderReader::Follow::refused: return fail(message::kWriteOutput);
        }
    }
}

// Walks the gathered header table in order: each header back to the plain
// form, followed by its long-name text, sparse extension blocks or data.
class Extraction {
public:
    Extraction(TableSpool& table, ArchiveInput& data, OutputFile& output)
        : table_(table), reader_([&table](unsigned char* block) { return table.next(block); }), data_(data),
          output_(output) {}

    int run() {
        if (!table_.rewind()) return fail(message::kReadInput);
        for (;;) {
            switch (reader_.next(header_)) {
                case HeaderReader::Next::header: break;
                case HeaderReader::Next::cutShort: return fail(message::kReadInput);
                case HeaderReader::Next::end:
                    // Compressed input is read to its end, so that every
                    // trailer is checked: a damaged stream must not pass for
                    // a whole one.
                    if (!data_.readToEnd()) return fail(message::kReadInput);
                    return writeEndOfArchive();
            }
            switch (checkHeader(header_, kIndexedMagic)) {
                case HeaderCheck::valid: break;
                case HeaderCheck::badMagic: {
                    std::fprintf(stderr, message::kKotarMagic, quotedText(magicText(header_)).c_str());
                    return -1;
                }
                case HeaderCheck::badChecksum:  // only a warning here
                    fail(message::kChecksum);  // a warning: extraction goes on
                    break;
            }
            if (typeflagOf(header_) == kTypeAlignedExecutable) header_[field::typeflag.offset] = kTypeRegular;
            const int status = isLongNameEntry(header_) ? copyLongNameEntry() : copyMember();
            if (status != 0) return status;
        }
    }

private:
    int writeEndOfArchive() {
        header_.fill(0);
        for (int i = 0; i < 2; ++i) {
            if (!output_.write(header_.data(), header_.size())) return fail(message::kWriteEnd);
        }
        return 0;
    }

    // The blocks that follow the header in the table, as they are: a long
    // name's text, a sparse member's extension blocks.
    int copyFollowingBlocks() {
        switch (reader_.follow(header_, [this](const unsigned char* block) { return output_.write(block, kBlockSize); })) {
            case HeaderReader::Follow::done: return 0;
            case HeaderReader::Follow::cutShort: return fail(message::kReadInput);
            // A size beyond 32 bits (base-256, or octal of 2^31 or more)
            // would be taken for another; no archive that kotar writes
            // holds one.
            case HeaderReader::Follow::badSize: return fail(message::kInvalidInput);
            case HeaderReader::Follow::refused: return fail(message::kWriteOutput);
        }
        return 0;
    }

    // A long-name entry: its header, then its text blocks.
    int copyLongNameEntry() {
        finishPlainHeader(header_);
        if (!output_.write(header_.data(), header_.size())) return fail(message::kWriteOutput);
        return copyFollowingBlocks();
    }

    // Any other member: its header in the plain form, its data fetched from
    // dataOffset, and a gap up to the next block that reads as zeros.
    int copyMember() {
        const std::int32_t size = parseOctalField(header_, field::size);
        const bool sizeFits = octalFieldFits(header_, field::size);
        const std::uint32_t dataOffset = readExtensionField(header_, kDataOffsetAt);

        std::fill_n(header_.begin() + field::extension.offset, field::extension.width, 0);
        finishPlainHeader(header_);
        if (!output_.write(header_.data(), header_.size())) return fail(message::kWriteData);
        if (const int status = copyFollowingBlocks(); status != 0) return status;
        if (size == 0 && sizeFits) return 0;

        const std::uint64_t next = output_.tell() + roundUp(static_cast<std::uint64_t>(size), kBlockSize);
        // Data before what has been read cannot be had from a pipe.
        const bool behind = dataOffset < static_cast<std::uint64_t>(data_.tell()) && !data_.seekable();
        if (!sizeFits || size < 0 || dataOffset >= kInputPositionLimit || next >= kOutputPositionLimit || behind ||
            data_.seek(dataOffset, SEEK_SET) < 0) {
            return fail(message::kInvalidInput);
        }
        switch (copier_.copy(data_, output_, static_cast<std::uint64_t>(size))) {
            case CopyOutcome::copied: break;
            case CopyOutcome::readFailed: return fail(message::kReadInput);
            case CopyOutcome::writeFailed: return fail(message::kWriteOutput);
        }
        if (output_.padTo(next) != 0) return fail(message::kWriteOutput);
        return 0;
    }

    TableSpool& table_;
    HeaderReader reader_;
    ArchiveInput& data_;
    OutputFile& output_;
    MemberCopier copier_;
    HeaderBlock header_{};
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
