#include "convert/create_archive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "archive/archive_input.h"
#include "archive/byte_spool.h"
#include "archive/header_block.h"
#include "archive/indexed_layout.h"
#include "archive/member_copy.h"
#include "archive/output_file.h"
#include "archive/retained_input.h"
#include "archive/table_spool.h"
#include "archive/verbose.h"
#include "convert/normalize_entry.h"
#include "elfscan/analyze_executable.h"

// Creation reads its input once, front to back, so that it works from a
// pipe and decompresses once. Where member data goes depends on the size of
// the header table, known only at the input's end, so creation runs in
// three steps:
//
//   gather   read every header into a TableSpool and note, for each member
//            with data, where its data lies in the input stream and whether
//            it is an executable to align; the input keeps every byte
//            (RetainedInput). POSIX headers and pax 'x' entries are turned
//            into GNU form on the way (normalize_entry.h); the kept pax
//            records are new bytes, held in a ByteSpool
//   table    lay the data out, analyse each executable from its kept
//            bytes, and write the finished header table and its zero block
//   data     copy each member's data from the kept bytes to its place
//
// The destination is written strictly front to back, so it may be a pipe.

namespace kotar {

namespace {

constexpr unsigned char kElfMagic[4] = {0x7F, 'E', 'L', 'F'};

// A member whose padded size leaves the 32-bit range cannot be laid out.
constexpr std::int64_t kLargestMemberSize = kArchiveLimit - BLOCK_SIZE - 1;

int fail(const char* message) {
    std::fputs(message, stderr);
    return -1;
}

int failInvalidPax() { return fail("invalid pax header\n"); }

// An 'x' entry's data is read whole: no larger than this.
constexpr std::int32_t kLargestPaxEntry = 1024 * 1024;

int failTooBig() {
    std::fprintf(stderr, "file too big, max supported size is %u\n", static_cast<unsigned>(kArchiveLimit));
    return -1;
}

bool isValidMemberSize(std::int32_t size) { return size >= 0 && size <= kLargestMemberSize; }

// The size field, or -1 when it holds more than 32 bits can: tar writes
// sizes of 8 GiB and more in base-256 form, and an octal size of 2^32 or
// more would otherwise be taken for its low 32 bits.
std::int32_t memberSize(const HeaderBlock& header) {
    return octalFieldFits(header, field::size) ? parseOctalField(header, field::size) : -1;
}

// A regular file with the owner-execute bit, aligned when its data starts
// with the ELF magic.
bool isExecutableCandidate(const HeaderBlock& header) {
    return typeflagOf(header) == kTypeRegular && (parseOctalField(header, field::mode) & 0100) != 0;
}

// A member with data, as the gathering step found it.
struct MemberData {
    std::uint64_t streamOffset;  // where its data starts in the input stream (or the new bytes)
    std::uint32_t size;
    bool aligned;  // an executable, placed on a page
    bool newBytes = false;  // its data lies in the ByteSpool, not in the input
};

void traceAlignment(bool aligned, const HeaderBlock& header) {
    if (verbose) {
        std::fprintf(stderr, "%sligning executable %.100s\n", aligned ? "A" : "Not a",
                     reinterpret_cast<const char*>(header.data() + field::name.offset));
    }
}

// Lays member data out from the start of the data area on: each member at
// the cursor rounded up to its alignment.
class DataLayout {
public:
    explicit DataLayout(std::uint64_t dataArea) : cursor_(dataArea) {}

    // The member's data offset; false when the archive would pass 2 GiB.
    bool place(const MemberData& member, std::uint64_t& dataOffset) {
        const std::uint64_t alignment = member.aligned ? PAGE_SIZE : BLOCK_SIZE;
        dataOffset = roundUp(cursor_, alignment);
        cursor_ = roundUp(dataOffset + member.size, alignment);
        return cursor_ < kArchiveLimit;
    }

private:
    std::uint64_t cursor_;
};

class Creation {
public:
    Creation(RetainedInput& input, TableSpool& table, ByteSpool& newBytes, OutputFile& output)
        : input_(input), table_(table), newBytes_(newBytes), output_(output) {}

    int run() {
        if (gather() != 0 || writeTable() != 0 || writeData() != 0) return -1;
        return 0;
    }

private:
    bool readBlock(unsigned char* block) { return input_.read(block, BLOCK_SIZE); }

    // Appends `count` blocks of the input to the table as they are.
    int keepBlocks(std::uint64_t count) {
        unsigned char block[BLOCK_SIZE];
        for (; count > 0; --count) {
            if (!readBlock(block)) return fail("unable to read input file\n");
            if (!table_.append(block)) return fail("unable to write to output file\n");
        }
        return 0;
    }

    // Every header of the input, checked, into the table; the rest of the
    // stream kept. The first failure ends creation before anything is
    // written.
    int gather() {
        HeaderBlock header;
        for (;;) {
            if (!readBlock(header.data())) return fail("unable to read input file\n");
            if (isZeroBlock(header)) {
                if (pax_) return failInvalidPax();  // an 'x' entry for no member
                break;
            }
            if (!hasMagic(header, kPlainMagic) && !hasMagic(header, kPosixMagic)) {
                const std::string_view magic = magicText(header);
                std::fprintf(stderr, "invalid tar magic '%.*s'\n", static_cast<int>(magic.size()), magic.data());
                return -1;
            }
            if (!verifyHeaderChecksum(header)) return fail("invalid tar, checksum mismatch\n");
            if (const int status = normalize(header); status != 0) {
                if (status > 0) continue;  // an 'x' entry, gathered
                return status;
            }
            const std::int32_t size = memberSize(header);
            if (!isValidMemberSize(size)) return failTooBig();
            if (!table_.append(header.data())) return fail("unable to write to output file\n");

            const int status = isLongNameEntry(header) ? gatherLongName(size) : gatherMember(header, size);
            if (status != 0) return status;
        }
        // Compressed input is read to its end, so that every trailer is
        // checked: a damaged stream must not pass for a whole archive.
        if (!input_.readToEnd()) return fail("unable to read input file\n");
        if (!input_.finish()) return fail("unable to write to output file\n");
        return 0;
    }

    // Turns a header into GNU form, appending the long-name entries it
    // needs, or gathers an 'x' entry (1). -1 on a failure.
    int normalize(HeaderBlock& header) {
        const unsigned char type = typeflagOf(header);
        // One 'x' entry per member, before its 'L'/'K' entries, so that
        // those stay right before the header they name.
        if (type == kTypePaxHeader) {
            const bool late = pax_ || inputLongNames_.name || inputLongNames_.link;
            return late ? failInvalidPax() : gatherPaxEntry(header);
        }
        if (isLongNameEntry(header)) {
            (type == kTypeLongName ? inputLongNames_.name : inputLongNames_.link) = true;
            return 0;
        }
        if (pax_ && type == kTypePaxGlobal) return failInvalidPax();
        std::vector<HeaderBlock> leading;
        if (pax_ || hasMagic(header, kPosixMagic)) {
            normalizeMember(header, pax_ ? &*pax_ : nullptr, inputLongNames_, leading);
        }
        pax_.reset();
        inputLongNames_ = {};
        for (const HeaderBlock& block : leading) {
            if (!table_.append(block.data())) return fail("unable to write to output file\n");
        }
        return 0;
    }

    // Reads an 'x' entry's records for the next member; those the GNU form
    // cannot hold stay in an 'x' entry of the table, their bytes kept apart.
    int gatherPaxEntry(const HeaderBlock& header) {
        const std::int32_t size = memberSize(header);
        if (size < 0 || size > kLargestPaxEntry) return failInvalidPax();
        std::string data(static_cast<std::size_t>(size), '\0');
        if (!input_.read(data.data(), data.size()) || !input_.skip(roundUp(data.size(), BLOCK_SIZE) - data.size())) {
            return fail("unable to read input file\n");
        }
        PaxOverrides& pax = pax_.emplace();
        switch (sortPaxRecords(data, pax)) {
            case PaxOutcome::sorted: break;
            case PaxOutcome::invalid: return failInvalidPax();
            case PaxOutcome::tooBig: return failTooBig();
        }
        if (pax.kept.empty()) return 1;
        const HeaderBlock kept = keptPaxHeader(header, pax.kept.size());
        if (!table_.append(kept.data())) return fail("unable to write to output file\n");
        MemberData member{0, static_cast<std::uint32_t>(pax.kept.size()), false, true};
        if (!newBytes_.append(pax.kept, member.streamOffset)) return fail("unable to write to output file\n");
        dataBytes_ += member.size;
        if ((table_.blocks() + 1) * BLOCK_SIZE + dataBytes_ >= kArchiveLimit) return failTooBig();
        members_.push_back(member);
        return 1;
    }

    int gatherLongName(std::int32_t size) {
        const std::uint64_t textBlocks = blocksFor(static_cast<std::uint64_t>(size));
        if ((table_.blocks() + textBlocks + 1) * BLOCK_SIZE >= kArchiveLimit) return failTooBig();
        return keepBlocks(textBlocks);
    }

    int gatherMember(const HeaderBlock& header, std::int32_t size) {
        // A sparse member's extension blocks follow its header.
        for (bool extended = hasSparseExtension(header); extended;) {
            unsigned char extension[BLOCK_SIZE];
            if (!readBlock(extension)) return fail("unable to read input file\n");
            if (!table_.append(extension)) return fail("unable to write to output file\n");
            extended = extension[kSparseExtensionExtendedAt] != 0;
        }
        const std::uint64_t dataArea = (table_.blocks() + 1) * BLOCK_SIZE;
        if (dataArea >= kArchiveLimit) return failTooBig();
        if (size == 0) return 0;

        // The data can only end later than right after what is known of
        // the table: refuse before going over it when even that is too far.
        dataBytes_ += static_cast<std::uint64_t>(size);
        if (dataArea + dataBytes_ >= kArchiveLimit) return failTooBig();

        MemberData member{input_.position(), static_cast<std::uint32_t>(size), false};
        std::uint64_t read = 0;
        if (isExecutableCandidate(header)) {
            // As many bytes as the magic, even from a shorter member: what
            // follows it in the stream is what it is compared with then.
            unsigned char magic[sizeof kElfMagic];
            if (!input_.read(magic, sizeof magic)) return fail("unable to read input file\n");
            read = sizeof magic;
            member.aligned = std::memcmp(magic, kElfMagic, sizeof magic) == 0;
        }
        members_.push_back(member);
        if (!input_.skip(roundUp(static_cast<std::uint64_t>(size), BLOCK_SIZE) - read)) {
            return fail("unable to read input file\n");
        }
        return 0;
    }

    // The header table, finished, then its zero block.
    int writeTable() {
        if (!table_.rewind()) return fail("unable to read input file\n");
        DataLayout layout(dataArea());
        std::size_t memberIndex = 0;
        HeaderBlock header;
        while (table_.next(header.data())) {
            if (isLongNameEntry(header)) {
                const int status = writeHeader(header) != 0 ? -1 : copyTableBlocks(blocksFor(memberSize(header)));
                if (status != 0) return status;
                continue;
            }
            const std::int32_t size = memberSize(header);
            if (size == 0) {
                std::fill_n(header.begin() + field::extension.offset, field::extension.width, 0);
            } else {
                const MemberData& member = members_[memberIndex++];
                std::uint64_t dataOffset = 0;
                const bool fits = layout.place(member, dataOffset);
                describeMember(header, member);
                writeExtensionField(header, kDataOffsetAt, static_cast<std::uint32_t>(dataOffset));
                if (!fits) return failTooBig();
            }
            if (writeHeader(header) != 0) return -1;
            if (hasSparseExtension(header) && copySparseExtension() != 0) return -1;
        }
        // The zero block, right after the table (after the first block when
        // the table is empty: that one is never written).
        const HeaderBlock zeros{};
        if (output_.padTo(std::max<std::uint64_t>(table_.blocks(), 1) * BLOCK_SIZE) != 0 ||
            !output_.write(zeros.data(), zeros.size())) {
            return fail("Unable to write to ouput file\n");
        }
        return 0;
    }

    // Marks an executable and stores its layout, tracing as it goes.
    void describeMember(HeaderBlock& header, const MemberData& member) {
        if (!member.aligned) {
            if (isExecutableCandidate(header)) traceAlignment(false, header);
            return;
        }
        header[field::typeflag.offset] = kTypeAlignedExecutable;
        const std::optional<ExecutableLayout> layout =
            analyzeExecutable(input_, static_cast<std::int64_t>(member.streamOffset), header);
        if (layout) {
            writeExtensionField(header, kTextOffsetAt, layout->textOffset);
            writeExtensionField(header, kTextPgsAt, layout->textPgs);
            writeExtensionField(header, kFixUpPgsAt, layout->fixUpPgs);
        }
        traceAlignment(true, header);
    }

    int writeHeader(HeaderBlock& header) {
        storeMagic(header, kIndexedMagic);
        setHeaderChecksum(header, true);
        return output_.write(header.data(), header.size()) ? 0 : fail("unable to write to output file\n");
    }

    // Copies the next `count` blocks of the table as they are.
    int copyTableBlocks(std::uint64_t count) {
        unsigned char block[BLOCK_SIZE];
        for (; count > 0; --count) {
            if (!table_.next(block)) return fail("unable to read input file\n");
            if (!output_.write(block, sizeof block)) return fail("unable to write to output file\n");
        }
        return 0;
    }

    int copySparseExtension() {
        unsigned char block[BLOCK_SIZE];
        do {
            if (!table_.next(block)) return fail("unable to read input file\n");
            if (!output_.write(block, sizeof block)) return fail("unable to write to output file\n");
        } while (block[kSparseExtensionExtendedAt] != 0);
        return 0;
    }

    // Every member's data at its place in the data area, gaps unwritten.
    int writeData() {
        DataLayout layout(dataArea());
        for (const MemberData& member : members_) {
            std::uint64_t dataOffset = 0;
            layout.place(member, dataOffset);
            if (output_.padTo(dataOffset) != 0) return fail("unable to write to output file\n");
            const int from = member.newBytes ? newBytes_.descriptor() : input_.descriptor();
            switch (copier_.copyFromFile(from, member.streamOffset, output_, member.size)) {
                case CopyOutcome::copied: break;
                case CopyOutcome::readFailed: return fail("unable to read input file\n");
                case CopyOutcome::writeFailed: return fail("unable to write output file\n");
            }
        }
        return 0;
    }

    std::uint64_t dataArea() const { return (table_.blocks() + 1) * BLOCK_SIZE; }

    RetainedInput& input_;
    TableSpool& table_;
    ByteSpool& newBytes_;
    OutputFile& output_;
    MemberCopier copier_;
    std::vector<MemberData> members_;
    std::uint64_t dataBytes_ = 0;  // the sizes of all member data so far
    std::optional<PaxOverrides> pax_;  // an 'x' entry's records for the next member
    InputLongNames inputLongNames_;    // the input's 'L'/'K' entries before it
};


}  // namespace

int createArchive(const char* inputPath, const char* destinationPath) {
    ArchiveInput input;
    if (input.open(inputPath) != 0) {
        std::fprintf(stderr, "Unable to open input file: %s\n", inputPath);
        return -1;
    }
    // Opening the destination replaces it in the end: never when it is the input.
    OutputFile output;
    if (isSameFile(inputPath, destinationPath) || output.open(destinationPath) != 0) {
        std::fprintf(stderr, "Unable to open output file: %s\n", destinationPath);
        return -1;
    }
    const std::string workDirectory = workDirectoryFor(destinationPath);
    RetainedInput retained;
    if (retained.open(input, workDirectory) != 0) return fail("unable to write to output file\n");
    TableSpool table(workDirectory);
    ByteSpool newBytes(workDirectory);
    if (Creation(retained, table, newBytes, output).run() != 0) return -1;
    if (output.close() != 0) return fail("unable to write to output file\n");
    return 0;
}

}  // namespace kotar
