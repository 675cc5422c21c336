#include "convert/create_archive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "archive/archive_input.h"
#include "archive/header_block.h"
#include "archive/indexed_layout.h"
#include "archive/member_copy.h"
#include "archive/output_file.h"
#include "archive/quoted_text.h"
#include "archive/verbose.h"
#include "elfscan/analyze_executable.h"

namespace kotar {

namespace {

constexpr unsigned char kElfMagic[4] = {0x7F, 'E', 'L', 'F'};

// A member whose padded size leaves the 32-bit range cannot be laid out.
constexpr std::int64_t kLargestMemberSize = kArchiveLimit - BLOCK_SIZE - 1;

int fail(const char* message) {
    std::fputs(message, stderr);
    return -1;
}

int failTooBig() {
    std::fprintf(stderr, "file too big, max supported size is %u\n", static_cast<unsigned>(kArchiveLimit));
    return -1;
}

bool readBlock(ArchiveInput& input, HeaderBlock& block) {
    return input.read(block.data(), block.size()) == block.size();
}

bool isValidMemberSize(std::int32_t size) { return size >= 0 && size <= kLargestMemberSize; }

// The size field, or -1 when it holds more than 32 bits can: tar writes
// sizes of 8 GiB and more in base-256 form, and an octal size of 2^32 or
// more would otherwise be taken for its low 32 bits.
std::int32_t memberSize(const HeaderBlock& header) {
    return octalFieldFits(header, field::size) ? parseOctalField(header, field::size) : -1;
}

// Pass 1: checks every header and counts the blocks of the header table,
// the zero block that ends it included.
int sizeHeaderTable(ArchiveInput& input, std::uint64_t& tableBlocks) {
    tableBlocks = 1;
    HeaderBlock header;
    for (;;) {
        if (!readBlock(input, header)) return fail("unable to read input file\n");
        if (isZeroBlock(header)) return 0;
        if (!hasMagic(header, kPlainMagic)) {
            std::fprintf(stderr, "invalid tar magic '%s'\n", quotedText(magicText(header)).c_str());
            return -1;
        }
        if (!verifyHeaderChecksum(header)) return fail("invalid tar, checksum mismatch\n");
        const std::int32_t size = memberSize(header);
        if (!isValidMemberSize(size)) return failTooBig();
        tableBlocks += 1 + (isLongNameEntry(header) ? blocksFor(size) : 0);
        for (bool extended = hasSparseExtension(header); extended; ++tableBlocks) {
            if (!readBlock(input, header)) return fail("unable to read input file\n");
            extended = header[kSparseExtensionExtendedAt] != 0;
        }
        if (tableBlocks * BLOCK_SIZE >= kArchiveLimit) return failTooBig();
        input.seek(static_cast<std::int64_t>(roundUp(size, BLOCK_SIZE)), SEEK_CUR);
    }
}

void traceAlignment(bool aligned, const HeaderBlock& header) {
    if (verbose) {
        std::fprintf(stderr, "%sligning executable %s\n", aligned ? "A" : "Not a",
                     quotedText(fieldText(header, field::name)).c_str());
    }
}

// An executable candidate is a regular file with the owner-execute bit; it
// is aligned when its data starts with the ELF magic. The input is left at
// the data's start.
bool startsAsExecutable(ArchiveInput& input, const HeaderBlock& header) {
    const bool candidate = typeflagOf(header) == kTypeRegular && (parseOctalField(header, field::mode) & 0100) != 0;
    if (!candidate) return false;
    const std::int64_t dataStart = input.tell();
    unsigned char magic[sizeof kElfMagic];
    const bool complete = input.read(magic, sizeof magic) == sizeof magic;
    input.seek(dataStart, SEEK_SET);
    const bool executable = complete && std::memcmp(magic, kElfMagic, sizeof magic) == 0;
    if (!executable) traceAlignment(false, header);
    return executable;
}

// Copies `size` bytes of member data; returns the failure message, or null.
const char* copyData(MemberCopier& copier, ArchiveInput& input, OutputFile& output, std::uint64_t size) {
    switch (copier.copy(input, output, size)) {
        case CopyOutcome::copied: return nullptr;
        case CopyOutcome::readFailed: return "unable to read input file\n";
        case CopyOutcome::writeFailed: return "unable to write output file\n";
    }
    return nullptr;
}

// Analyses the executable whose data starts at dataStart and stores its
// layout in the header. When its data is already in the output, the
// analysis reads it back from there instead of going back in the input.
void describeExecutable(ArchiveInput& input, OutputFile& output, HeaderBlock& header, std::int64_t dataStart,
                        std::uint64_t dataOffset, std::int32_t size, bool copied) {
    const int readBack = output.readBackDescriptor();
    const bool replay = copied && readBack >= 0;
    if (replay) input.beginReplay(readBack, static_cast<std::int64_t>(dataOffset), dataStart, size);
    input.seek(dataStart, SEEK_SET);  // the analysis starts reading where it stands
    const std::optional<ExecutableLayout> layout = analyzeExecutable(input, dataStart, header);
    input.endReplay();
    if (layout) {
        writeExtensionField(header, kTextOffsetAt, layout->textOffset);
        writeExtensionField(header, kTextPgsAt, layout->textPgs);
        writeExtensionField(header, kFixUpPgsAt, layout->fixUpPgs);
    }
    traceAlignment(true, header);
    input.seek(dataStart + size, SEEK_SET);
}

// Pass 2: lays out the data area and fills the header table.
int writeArchive(ArchiveInput& input, OutputFile& output, std::uint64_t tableBlocks,
                 std::uint64_t executableAlignment) {
    std::uint64_t cursor = tableBlocks * BLOCK_SIZE;
    if (input.rewind() != 0) return fail("unable to read input file\n");
    if (output.seek(cursor) != 0) return fail("unable to write to output file\n");

    MemberCopier copier;
    std::uint64_t tableBlock = 0;  // where the next entry of the header table goes
    HeaderBlock header;
    for (;;) {
        if (!readBlock(input, header)) return fail("unable to read input file\n");
        if (isZeroBlock(header)) {
            // It ends the table; the data area starts after it (right after
            // the first block when there was no member at all).
            if (output.seek(std::max<std::uint64_t>(tableBlock, 1) * BLOCK_SIZE) != 0 ||
                !output.write(header.data(), header.size())) {
                return fail("Unable to write to ouput file\n");
            }
            // Compressed input is read to its end, so that every trailer is
            // checked: a damaged stream must not pass for a whole archive.
            if (!input.readToEnd()) return fail("unable to read input file\n");
            return 0;
        }
        const std::int32_t size = memberSize(header);
        if (!isValidMemberSize(size)) return failTooBig();  // the input changed since pass 1

        if (isLongNameEntry(header)) {
            storeMagic(header, kIndexedMagic);
            setHeaderChecksum(header, true);
            if (output.seek(tableBlock * BLOCK_SIZE) != 0 || !output.write(header.data(), header.size())) {
                return fail("unable to write to output file\n");
            }
            unsigned char text[BLOCK_SIZE];
            for (std::uint64_t n = blocksFor(size); n > 0; --n) {
                if (input.read(text, sizeof text) != sizeof text) return fail("unable to read input file\n");
                if (!output.write(text, sizeof text)) return fail("unable to write to output file\n");
            }
            tableBlock += 1 + blocksFor(size);
            continue;
        }

        // The header's slot; a sparse member's extension blocks follow it
        // in the table, as they followed it in the input.
        const std::uint64_t headerSlot = tableBlock++;
        if (hasSparseExtension(header)) {
            if (output.seek(tableBlock * BLOCK_SIZE) != 0) return fail("unable to write to output file\n");
            for (bool extended = true; extended; ++tableBlock) {
                unsigned char extension[BLOCK_SIZE];
                if (input.read(extension, sizeof extension) != sizeof extension) {
                    return fail("unable to read input file\n");
                }
                if (!output.write(extension, sizeof extension)) return fail("unable to write to output file\n");
                extended = extension[kSparseExtensionExtendedAt] != 0;
            }
        }

        if (size == 0) {
            std::fill_n(header.begin() + field::extension.offset, field::extension.width, 0);
        } else {
            const std::int64_t dataStart = input.tell();
            const bool executable = startsAsExecutable(input, header);
            const std::uint64_t alignment = executable ? executableAlignment : BLOCK_SIZE;
            if (executable) header[field::typeflag.offset] = kTypeAlignedExecutable;

            const std::uint64_t dataOffset = roundUp(cursor, alignment);
            const char* copyFailure = output.seek(dataOffset) != 0 ? "unable to write to output file\n"
                                                                   : copyData(copier, input, output, size);
            if (executable) {
                if (copyFailure == nullptr && output.flush() != 0) copyFailure = "unable to write output file\n";
                describeExecutable(input, output, header, dataStart, dataOffset, size, copyFailure == nullptr);
            }
            if (copyFailure != nullptr) return fail(copyFailure);

            writeExtensionField(header, kDataOffsetAt, static_cast<std::uint32_t>(dataOffset));
            cursor = roundUp(dataOffset + static_cast<std::uint64_t>(size), alignment);
            if (cursor >= kArchiveLimit) return failTooBig();
            input.seek(static_cast<std::int64_t>(roundUp(size, BLOCK_SIZE)) - size, SEEK_CUR);
        }

        storeMagic(header, kIndexedMagic);
        setHeaderChecksum(header, true);
        if (output.seek(headerSlot * BLOCK_SIZE) != 0 || !output.write(header.data(), header.size())) {
            return fail("unable to write to output file\n");
        }
    }
}

}  // namespace

int createArchive(const char* inputPath, const char* destinationPath, std::uint64_t executableAlignment) {
    ArchiveInput input;
    if (input.open(inputPath) != 0) {
        std::fprintf(stderr, "Unable to open input file: %s\n", inputPath);
        return -1;
    }
    // Opening the destination truncates it: never when it is the input.
    OutputFile output;
    if (isSameFile(inputPath, destinationPath) || output.open(destinationPath) != 0) {
        std::fprintf(stderr, "Unable to open output file: %s\n", destinationPath);
        return -1;
    }
    std::uint64_t tableBlocks = 0;
    if (sizeHeaderTable(input, tableBlocks) != 0 || writeArchive(input, output, tableBlocks, executableAlignment) != 0) return -1;
    if (output.close() != 0) return fail("unable to write to output file\n");
    return 0;
}

}  // namespace kotar
