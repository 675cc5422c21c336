#include "convert/extract_archive.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>

#include "archive/archive_input.h"
#include "archive/header_block.h"
#include "archive/indexed_layout.h"
#include "archive/member_copy.h"
#include "archive/output_file.h"
#include "archive/quoted_text.h"

namespace kotar {

namespace {

// Input positions are signed 32-bit in this format; output positions must
// stay within 32 bits.
constexpr std::uint64_t kInputPositionLimit = kArchiveLimit;
constexpr std::uint64_t kOutputPositionLimit = std::uint64_t{1} << 32;

int fail(const char* message) {
    std::fputs(message, stderr);
    return -1;
}

// Opening the path again gives a second, independent stream only for a file
// that can be positioned; a pipe (/dev/stdin, a FIFO) would hand each handle
// different bytes.
bool canOpenTwice(const char* path) {
    struct stat status {};
    return stat(path, &status) == 0 && (S_ISREG(status.st_mode) || S_ISBLK(status.st_mode));
}

// The header table is read front to back through `table`; member data is
// fetched through `data`, a second handle on the same file, so that neither
// ever has to go back (which, on gzip input, means decompressing again).
// When the input cannot be opened twice, `data` is `table` itself, and the
// table is gone back to after each member's data.
class Extraction {
public:
    Extraction(ArchiveInput& table, ArchiveInput& data, OutputFile& output)
        : table_(table), data_(data), output_(output) {}

    int run() {
        for (;;) {
            if (!readTable(header_.data())) return fail("unable to read input file\n");
            if (isZeroBlock(header_)) {
                // Compressed input is read to its end, so that every trailer
                // is checked: a damaged stream must not pass for a whole one.
                if (!data_.readToEnd()) return fail("unable to read input file\n");
                return writeEndOfArchive();
            }
            if (!hasMagic(header_, kIndexedMagic)) {
                std::fprintf(stderr, "invalid kotar magic '%s'\n", quotedText(magicText(header_)).c_str());
                return -1;
            }
            if (!verifyHeaderChecksum(header_)) std::fputs("invalid tar, checksum mismatch\n", stderr);
            if (typeflagOf(header_) == kTypeAlignedExecutable) header_[field::typeflag.offset] = kTypeRegular;
            const int status = isLongNameEntry(header_) ? copyLongNameEntry() : copyMember();
            if (status != 0) return status;
        }
    }

private:
    // The next block of the header table: headers and long-name text.
    bool readTable(unsigned char* block) {
        table_.seek(static_cast<std::int64_t>(tablePosition_), SEEK_SET);  // no move unless data_ is table_
        tablePosition_ += BLOCK_SIZE;
        return table_.read(block, BLOCK_SIZE) == BLOCK_SIZE;
    }

    int writeEndOfArchive() {
        header_.fill(0);
        for (int i = 0; i < 2; ++i) {
            if (!output_.write(header_.data(), header_.size())) return fail("Unable to write to ouput file\n");
        }
        return 0;
    }

    // A long-name entry: its header, then its text blocks, copied as they are.
    int copyLongNameEntry() {
        storeMagic(header_, kPlainMagic);
        setHeaderChecksum(header_, false);
        if (!output_.write(header_.data(), header_.size())) return fail("unable to write to output file\n");
        outputPosition_ += BLOCK_SIZE;
        // A size beyond 32 bits (base-256, or octal of 2^31 or more) would
        // be taken for another; no archive that kotar writes holds one.
        if (!octalFieldFits(header_, field::size)) return fail("invalid input file\n");
        const std::int32_t size = parseOctalField(header_, field::size);
        const std::uint64_t textBlocks = size > 0 ? blocksFor(static_cast<std::uint64_t>(size)) : 0;
        unsigned char text[BLOCK_SIZE];
        for (std::uint64_t n = 0; n < textBlocks; ++n) {
            if (!readTable(text)) return fail("unable to read input file\n");
            if (!output_.write(text, sizeof text)) return fail("unable to write to output file\n");
            outputPosition_ += BLOCK_SIZE;
        }
        return 0;
    }

    // A sparse member's extension blocks follow its header in the table and
    // go back right after it, as they are.
    int copySparseExtension() {
        unsigned char extension[BLOCK_SIZE];
        for (bool more = true; more;) {
            if (!readTable(extension)) return fail("unable to read input file\n");
            if (!output_.write(extension, sizeof extension)) return fail("unable to write to output file\n");
            outputPosition_ += BLOCK_SIZE;
            more = extension[kSparseExtensionExtendedAt] != 0;
        }
        return 0;
    }

    // Any other member: its header in the plain form, its data fetched from
    // dataOffset, and a gap up to the next block left unwritten.
    int copyMember() {
        const std::int32_t size = parseOctalField(header_, field::size);
        const bool sizeFits = octalFieldFits(header_, field::size);
        const std::uint32_t dataOffset = readExtensionField(header_, kDataOffsetAt);

        const bool extended = hasSparseExtension(header_);
        std::fill_n(header_.begin() + field::extension.offset, field::extension.width, 0);
        storeMagic(header_, kPlainMagic);
        setHeaderChecksum(header_, false);
        if (!output_.write(header_.data(), header_.size())) return fail("unable to write output file\n");
        outputPosition_ += BLOCK_SIZE;
        if (extended) {
            const int status = copySparseExtension();
            if (status != 0) return status;
        }
        if (size == 0 && sizeFits) return 0;

        const std::uint64_t next = outputPosition_ + roundUp(static_cast<std::uint64_t>(size), BLOCK_SIZE);
        if (!sizeFits || size < 0 || dataOffset >= kInputPositionLimit || next >= kOutputPositionLimit ||
            data_.seek(dataOffset, SEEK_SET) < 0) {
            return fail("invalid input file\n");
        }
        switch (copier_.copy(data_, output_, static_cast<std::uint64_t>(size))) {
            case CopyOutcome::copied: break;
            case CopyOutcome::readFailed: return fail("unable to read input file\n");
            case CopyOutcome::writeFailed: return fail("unable to write to output file\n");
        }
        outputPosition_ = next;
        if (output_.seek(outputPosition_) != 0) return fail("unable to write to output file\n");
        return 0;
    }

    ArchiveInput& table_;
    ArchiveInput& data_;
    OutputFile& output_;
    MemberCopier copier_;
    HeaderBlock header_{};
    std::uint64_t outputPosition_ = 0;
    std::uint64_t tablePosition_ = 0;
};

}  // namespace

int extractArchive(const char* inputPath, const char* destinationPath) {
    ArchiveInput table;
    ArchiveInput data;
    const bool twoHandles = canOpenTwice(inputPath);
    if (table.open(inputPath) != 0 || (twoHandles && data.open(inputPath) != 0)) {
        std::fprintf(stderr, "Unable to open input file: %s\n", inputPath);
        return -1;
    }
    // Opening the destination truncates it: never when it is the input.
    OutputFile output;
    if (isSameFile(inputPath, destinationPath) || output.open(destinationPath) != 0) {
        std::fprintf(stderr, "Unable to open output file: %s\n", destinationPath);
        return -1;
    }
    if (Extraction(table, twoHandles ? data : table, output).run() != 0) return -1;
    if (output.close() != 0) return fail("unable to write to output file\n");
    return 0;
}

}  // namespace kotar
