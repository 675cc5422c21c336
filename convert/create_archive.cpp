#include "convert/create_archive.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "input/archive_input.h"
#include "files/byte_spool.h"
#include "format/header_block.h"
#include "format/header_reader.h"
#include "format/indexed_layout.h"
#include "decode/decoding_thread.h"
#include "output/member_copy.h"
#include "output/positional_copy.h"
#include "text/console_streams.h"
#include "text/messages.h"
#include "text/progress_line.h"
#include "output/output_file.h"
#include "output/path_rules.h"
#include "text/quoted_text.h"
#include "input/retained_input.h"
#include "files/table_spool.h"
#include "text/verbose.h"
#include "convert/conversion_ends.h"
#include "convert/normalize_entry.h"
#include "convert/pax_sparse.h"
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

// An 'x' entry's data is read whole: no larger than this.
constexpr std::int32_t kLargestPaxEntry = 1024 * 1024;

int failTooBig() {
    progressClear();
    std::fprintf(stderr, message::kTooBig, static_cast<unsigned>(kArchiveLimit));
    return -1;
}

// The magic a source header is checked against: its own when it is the
// POSIX one; else the GNU one, which a GNU volume label ('V') or
// continuation ('M') header may leave all zeros.
const Magic& sourceMagic(const HeaderBlock& header) {
    static constexpr Magic kNoMagic{};
    if (hasMagic(header, kPosixMagic)) return kPosixMagic;
    const unsigned char type = typeflagOf(header);
    if ((type == 'V' || type == 'M') && hasMagic(header, kNoMagic)) return kNoMagic;
    return kPlainMagic;
}

bool isValidMemberSize(std::int32_t size) { return size >= 0 && static_cast<std::uint64_t>(size) <= kLargestMemberSize; }

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
        std::fprintf(stderr, "%sligning executable %s\n", aligned ? "A" : "Not a",
                     quotedText(fieldText(header, field::name)).c_str());
    }
}

// Lays member data out from the start of the data area on: each member at
// the cursor rounded up to its alignment.
class DataLayout {
public:
    DataLayout(std::uint64_t dataArea, std::uint64_t executableAlignment)
        : cursor_(dataArea), executableAlignment_(executableAlignment) {}

    // The member's data offset; false when the archive would pass 2 GiB.
    bool place(const MemberData& member, std::uint64_t& dataOffset) {
        const std::uint64_t alignment = member.aligned ? executableAlignment_ : kBlockSize;
        dataOffset = roundUp(cursor_, alignment);
        cursor_ = roundUp(dataOffset + member.size, alignment);
        return cursor_ < kArchiveLimit;
    }

private:
    std::uint64_t cursor_;
    std::uint64_t executableAlignment_;
};

class Creation {
public:
    Creation(RetainedInput& input, TableSpool& table, ByteSpool& newBytes, OutputFile& output,
             std::uint64_t executableAlignment, const char* unreadCompression)
        : input_(input), table_(table), newBytes_(newBytes), output_(output), executableAlignment_(executableAlignment),
          unreadCompression_(unreadCompression) {}

    int run() {
        if (gather() != 0 || writeTable() != 0 || writeData() != 0) return -1;
        return 0;
    }

private:
    bool readBlock(unsigned char* block) { return input_.read(block, kBlockSize); }
    // Why the input came up short: the kept copy could not be written (a
    // full disk beside the destination), or the input itself.
    const char* readFailure() const { return input_.keepFailed() ? message::kWriteOutput : message::kReadInput; }
    // While an 'x' entry waits for its member, the input's long-name entries
    // wait with it, so that the kept 'x' entry stays before them.
    bool keepBlock(const unsigned char* block) {
        if (!pax_) return table_.append(block);
        heldBack_.emplace_back();
        std::copy_n(block, kBlockSize, heldBack_.back().begin());
        return true;
    }

    // Every header of the input, checked, into the table; the rest of the
    // stream kept. The first failure ends creation before anything is
    // written.
    int gather() {
        HeaderReader reader([this](unsigned char* block) { return readBlock(block); });
        HeaderBlock header;
        for (;;) {
            const HeaderReader::Next next = reader.next(header);
            if (next == HeaderReader::Next::cutShort) {
                if (input_.keepFailed()) return fail(message::kWriteOutput);
                fail(message::kReadInput);
                return noteUnreadCompression(unreadCompression_);
            }
            if (next == HeaderReader::Next::end) {
                if (pax_) return fail(message::kInvalidPax);  // an 'x' entry for no member
                // A long name for no member: the table would end where the
                // header it names must stand, which no reader accepts.
                if (inputLongNames_.name || inputLongNames_.link) return fail(message::kReadInput);
                break;
            }
            switch (checkHeader(header, sourceMagic(header))) {
                case HeaderCheck::valid: break;
                case HeaderCheck::badMagic: {
                    progressClear();
                    std::fprintf(stderr, message::kTarMagic, quotedText(magicText(header)).c_str());
                    return noteUnreadCompression(unreadCompression_);
                }
                case HeaderCheck::badChecksum: return fail(message::kChecksum);
            }
            std::vector<HeaderBlock> following;  // blocks that a conversion puts after the header
            if (const int status = normalize(header, following); status != 0) {
                if (status > 0) continue;  // an 'x' entry, gathered
                return status;
            }
            const std::int32_t size = memberSize(header);
            if (!isValidMemberSize(size)) return failTooBig();
            if (!keepBlock(header.data())) return fail(message::kWriteOutput);
            // A long name's text blocks would alone fill the 2 GiB.
            if (isLongNameEntry(header) &&
                (table_.blocks() + blocksFor(static_cast<std::uint64_t>(size)) + 1) * kBlockSize >= kArchiveLimit) {
                return failTooBig();
            }
            // The blocks that follow the header in the table: a long name's
            // text, a sparse member's extension blocks (made here for a pax
            // sparse member, whose input has none).
            for (const HeaderBlock& block : following) {
                if (!keepBlock(block.data())) return fail(message::kWriteOutput);
            }
            const auto follow = following.empty() ? reader.follow(header, [this](const unsigned char* block) {
                return keepBlock(block);
            }) : HeaderReader::Follow::done;
            switch (follow) {
                case HeaderReader::Follow::done: break;
                case HeaderReader::Follow::cutShort:
                case HeaderReader::Follow::badSize: return fail(readFailure());
                case HeaderReader::Follow::refused: return fail(message::kWriteOutput);
            }
            if (!isLongNameEntry(header) && gatherMember(header, size) != 0) return -1;
        }
        // Compressed input is read to its end, so that every trailer is
        // checked: a damaged stream must not pass for a whole archive.
        if (!input_.readToEnd()) return fail(readFailure());
        progressFinish();  // the input is read; the traces of the table step may follow
        if (!input_.finish()) return fail(message::kWriteOutput);
        return 0;
    }

    // Turns a header into GNU form, appending the long-name entries it
    // needs (and putting in `following` the sparse extension blocks that
    // must come after it), or gathers an 'x' entry (1). -1 on a failure.
    int normalize(HeaderBlock& header, std::vector<HeaderBlock>& following) {
        const unsigned char type = typeflagOf(header);
        // One 'x' entry per member, before its 'L'/'K' entries, so that
        // those stay right before the header they name.
        if (type == kTypePaxHeader) {
            const bool late = pax_ || inputLongNames_.name || inputLongNames_.link;
            return late ? fail(message::kInvalidPax) : gatherPaxEntry(header);
        }
        if (isLongNameEntry(header)) {
            // Held back while an 'x' entry waits: no longer than it may be.
            if (pax_ && (!octalFieldFits(header, field::size) || parseOctalField(header, field::size) > kLargestPaxEntry)) {
                return fail(message::kInvalidPax);
            }
            (type == kTypeLongName ? inputLongNames_.name : inputLongNames_.link) = true;
            return 0;
        }
        if (pax_ && type == kTypePaxGlobal) return fail(message::kInvalidPax);
        std::vector<HeaderBlock> leading;
        std::optional<std::uint64_t> sparseData;  // a pax sparse member's stored data
        if (pax_ && pax_->sparse.present()) {
            if (readSparseMap(header, sparseData) != 0) return -1;
            if (pax_->sparse.name()) pax_->path = pax_->sparse.name();
        }
        if (pax_ || hasMagic(header, kPosixMagic)) {
            normalizeMember(header, pax_ ? &*pax_ : nullptr, inputLongNames_, leading);
        }
        if (sparseData) {
            if (!pax_->sparse.makeGnuSparse(header, *sparseData, following)) return fail(message::kInvalidPax);
            setHeaderChecksum(header, false);
        }
        if (pax_ && keepPaxEntry(header) != 0) return -1;
        pax_.reset();
        inputLongNames_ = {};
        for (const HeaderBlock& block : leading) {
            if (!keepBlock(block.data())) return fail(message::kWriteOutput);
        }
        return 0;
    }

    // A pax sparse member (a regular file): the size of its stored data,
    // which in version 1.0 follows the map's blocks, read here.
    int readSparseMap(const HeaderBlock& header, std::optional<std::uint64_t>& stored) {
        PaxSparse& sparse = pax_->sparse;
        const unsigned char type = typeflagOf(header);
        const std::int32_t headerSize = memberSize(header);
        if ((type != kTypeRegular && type != '\0') || !sparse.complete()) return fail(message::kInvalidPax);
        if (!pax_->size && !isValidMemberSize(headerSize)) return failTooBig();
        std::uint64_t size = pax_->size ? *pax_->size : static_cast<std::uint64_t>(headerSize);
        if (sparse.mapInData()) {
            PaxSparse::MapText text = PaxSparse::MapText::more;
            while (text == PaxSparse::MapText::more) {
                unsigned char block[kBlockSize];
                if (size < kBlockSize) return fail(message::kInvalidPax);
                if (!readBlock(block)) return fail(readFailure());
                size -= kBlockSize;
                text = sparse.takeMapBlock(block);
            }
            if (text == PaxSparse::MapText::damaged) return fail(message::kInvalidPax);
        }
        stored = size;
        pax_->size.reset();  // the stored size goes in with the map
        return 0;
    }

    // Reads an 'x' entry's records for the next member, which decides what
    // of them is kept.
    int gatherPaxEntry(const HeaderBlock& header) {
        const std::int32_t size = memberSize(header);
        if (size < 0 || size > kLargestPaxEntry) return fail(message::kInvalidPax);
        paxData_.assign(static_cast<std::size_t>(size), '\0');
        if (!input_.read(paxData_.data(), paxData_.size()) ||
            !input_.skip(roundUp(paxData_.size(), kBlockSize) - paxData_.size())) {
            return fail(readFailure());
        }
        paxHeader_ = header;
        switch (sortPaxRecords(paxData_, pax_.emplace(), globalKeywords_)) {
            case PaxOutcome::sorted: break;
            case PaxOutcome::invalid: return fail(message::kInvalidPax);
            case PaxOutcome::tooBig: return failTooBig();
        }
        return 1;
    }

    // Once the member's header is in GNU form: the records the GNU form
    // cannot hold, in an 'x' entry of the table (their bytes kept apart),
    // then the input's long-name entries that waited for it.
    int keepPaxEntry(const HeaderBlock& member) {
        const PaxOverrides& pax = *pax_;
        const std::string kept = pax.keptFor(!fieldText(member, field::uname).empty() || pax.unameKept,
                                             !fieldText(member, field::gname).empty() || pax.gnameKept);
        if (!kept.empty()) {
            const HeaderBlock header = keptPaxHeader(paxHeader_, kept.size());
            if (!table_.append(header.data())) return fail(message::kWriteOutput);
            MemberData data{0, static_cast<std::uint32_t>(kept.size()), false, true};
            if (!newBytes_.append(kept, data.streamOffset)) return fail(message::kWriteOutput);
            dataBytes_ += data.size;
            if ((table_.blocks() + 1) * kBlockSize + dataBytes_ >= kArchiveLimit) return failTooBig();
            members_.push_back(data);
        }
        for (const HeaderBlock& block : heldBack_) {
            if (!table_.append(block.data())) return fail(message::kWriteOutput);
        }
        heldBack_.clear();
        return 0;
    }

    // A member's data, after its header and the blocks that follow it.
    int gatherMember(const HeaderBlock& header, std::int32_t size) {
        const std::uint64_t dataArea = (table_.blocks() + 1) * kBlockSize;
        if (dataArea >= kArchiveLimit) return failTooBig();
        if (size == 0) return 0;

        // The data can only end later than right after what is known of
        // the table: refuse before going over it when even that is too far.
        dataBytes_ += static_cast<std::uint64_t>(size);
        if (dataArea + dataBytes_ >= kArchiveLimit) return failTooBig();

        MemberData member{input_.position(), static_cast<std::uint32_t>(size), false};
        std::uint64_t read = 0;
        if (typeflagOf(header) == kTypePaxGlobal) {
            // Its records decide which of later 'x' entries' records stay.
            if (size > kLargestPaxEntry) {
                globalKeywords_.takeAll();
            } else {
                std::string data(static_cast<std::size_t>(size), '\0');
                if (!input_.read(data.data(), data.size())) return fail(readFailure());
                read = data.size();
                globalKeywords_.take(data);
            }
        } else if (isExecutableCandidate(header)) {
            // As many bytes as the magic, even from a shorter member: what
            // follows it in the stream is what it is compared with then.
            unsigned char magic[sizeof kElfMagic];
            if (!input_.read(magic, sizeof magic)) return fail(readFailure());
            read = sizeof magic;
            member.aligned = std::memcmp(magic, kElfMagic, sizeof magic) == 0;
        }
        members_.push_back(member);
        if (!input_.skip(roundUp(static_cast<std::uint64_t>(size), kBlockSize) - read)) {
            return fail(readFailure());
        }
        return 0;
    }

    // Whether every member's data, laid out with its alignment, stays below
    // 2 GiB. The gathering step bounds the sizes alone; the padding that
    // alignment adds is known only now, and must be refused before the first
    // header goes to a destination that may be a pipe.
    bool layoutFits() const {
        DataLayout layout(dataArea(), executableAlignment_);
        std::uint64_t dataOffset = 0;
        return std::all_of(members_.begin(), members_.end(),
                           [&](const MemberData& member) { return layout.place(member, dataOffset); });
    }

    // The header table, finished, then its zero block.
    int writeTable() {
        if (!layoutFits()) return failTooBig();
        // Only a spilled table can fail here, when its last blocks cannot be
        // written out: the disk beside the destination is full.
        if (!table_.rewind()) return fail(message::kWriteOutput);
        HeaderReader reader([this](unsigned char* block) { return table_.next(block); });
        DataLayout layout(dataArea(), executableAlignment_);
        std::size_t memberIndex = 0;
        HeaderBlock header;
        while (reader.nextBlock(header)) {
            const std::int32_t size = memberSize(header);
            if (isLongNameEntry(header)) {
                // Its size was checked as it was gathered.
            } else if (size == 0) {
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
            switch (reader.follow(header, [this](const unsigned char* block) { return output_.write(block, kBlockSize); })) {
                case HeaderReader::Follow::done: break;
                case HeaderReader::Follow::cutShort:
                case HeaderReader::Follow::badSize: return fail(message::kReadInput);
                case HeaderReader::Follow::refused: return fail(message::kWriteOutput);
            }
        }
        // The zero block, right after the table (after the first block when
        // the table is empty: that one is never written).
        const HeaderBlock zeros{};
        if (output_.padTo(std::max<std::uint64_t>(table_.blocks(), 1) * kBlockSize) != 0 ||
            !output_.write(zeros.data(), zeros.size())) {
            return fail(message::kWriteEnd);
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
        finishIndexedHeader(header);
        return output_.write(header.data(), header.size()) ? 0 : fail(message::kWriteOutput);
    }

    // Every member's data at its place in the data area, gaps unwritten: on
    // two threads, where the destination is a file written by position and
    // a second thread is wanted; otherwise one member at a time through the
    // output.
    int writeData() {
        const std::vector<std::uint64_t> offsets = dataOffsets();
        // The table goes out first, on either path: its failure (a full
        // disk) is the table's, not the data's.
        if (!members_.empty() && output_.flush() != 0) return fail(message::kWriteOutput);
        if (!members_.empty() && output_.descriptor() >= 0 && decodingThreadWanted()) {
            if (const std::optional<CopyOutcome> outcome = writeDataOnTwoThreads(offsets)) {
                if (*outcome != CopyOutcome::copied) return reportCopy(*outcome);
                // The output's position follows the bytes written beside it.
                return output_.seek(offsets.back() + members_.back().size) == 0 ? 0 : fail(message::kWriteOutput);
            }
        }
        for (std::size_t i = 0; i < members_.size(); ++i) {
            if (output_.padTo(offsets[i]) != 0) return fail(message::kWriteOutput);
            for (const FileCopy& piece : piecesOf(members_[i], offsets[i])) {
                const CopyOutcome outcome = copier_.copyFromFile(piece.from, piece.fromOffset, output_, piece.size);
                if (outcome != CopyOutcome::copied) return reportCopy(outcome);
            }
        }
        return 0;
    }

    // Each member's data offset, as the table gave it.
    std::vector<std::uint64_t> dataOffsets() const {
        std::vector<std::uint64_t> offsets;
        offsets.reserve(members_.size());
        DataLayout layout(dataArea(), executableAlignment_);
        for (const MemberData& member : members_) {
            std::uint64_t dataOffset = 0;
            layout.place(member, dataOffset);
            offsets.push_back(dataOffset);
        }
        return offsets;
    }

    // Copies the members' data on two threads, freeing the input's kept
    // copy and the decoder's file as they go: nothing reads them after
    // this. Empty when the threads could not be had.
    std::optional<CopyOutcome> writeDataOnTwoThreads(const std::vector<std::uint64_t>& offsets) {
        std::vector<FileCopy> copies;
        copies.reserve(members_.size());
        for (std::size_t i = 0; i < members_.size(); ++i) {
            for (const FileCopy& piece : piecesOf(members_[i], offsets[i])) copies.push_back(piece);
        }
        const std::array scratch{input_.temporaryCopyDescriptor(), input_.decoderFileDescriptor()};
        return copyOnTwoThreads(copies, output_.descriptor(), scratch);
    }

    // Where a member's data is read from: the bytes kept of the input lie
    // in up to three stretches (RetainedInput::locate). A stretch that
    // ends early gives a piece whose reading comes up short.
    std::vector<FileCopy> piecesOf(const MemberData& member, std::uint64_t toOffset) const {
        if (member.newBytes) return {{newBytes_.descriptor(), member.streamOffset, toOffset, member.size}};
        std::vector<FileCopy> pieces;
        for (std::uint64_t done = 0; done < member.size;) {
            const RetainedInput::Place place = input_.locate(member.streamOffset + done);
            const std::uint64_t size = place.length == 0 ? member.size - done : std::min(place.length, member.size - done);
            pieces.push_back({place.descriptor, place.offset, toOffset + done, size});
            done += size;
        }
        return pieces;
    }

    int reportCopy(CopyOutcome outcome) {
        switch (outcome) {
            case CopyOutcome::copied: return 0;
            case CopyOutcome::readFailed: return fail(message::kReadInput);
            case CopyOutcome::writeFailed: return fail(message::kWriteData);
        }
        return -1;
    }


    std::uint64_t dataArea() const { return (table_.blocks() + 1) * kBlockSize; }

    RetainedInput& input_;
    TableSpool& table_;
    ByteSpool& newBytes_;
    OutputFile& output_;
    const std::uint64_t executableAlignment_;
    const char* unreadCompression_;  // what the input is, when kotar cannot read it
    MemberCopier copier_;
    std::vector<MemberData> members_;
    std::uint64_t dataBytes_ = 0;  // the sizes of all member data so far
    std::optional<PaxOverrides> pax_;  // an 'x' entry's records for the next member
    std::string paxData_;              // that entry's data, which pax_ views
    HeaderBlock paxHeader_{};          // and its header
    std::vector<HeaderBlock> heldBack_;  // the input's long-name entries after it
    InputLongNames inputLongNames_;    // the input's 'L'/'K' entries before it
    GlobalKeywords globalKeywords_;    // what the 'g' entries so far gave
};

}  // namespace

int createArchive(const char* inputPath, const char* destinationPath, std::uint64_t executableAlignment) {
    ArchiveInput input;
    OutputFile output;
    if (openConversionEnds(inputPath, destinationPath, input, output) != 0) return -1;
    // An archive on standard output leaves no room there for the trace.
    if (namesStandardOutput(destinationPath)) traceOutput = stderr;
    const std::string workDirectory = workDirectoryFor(destinationPath);
    RetainedInput retained;
    if (retained.open(input, workDirectory, true) != 0) return fail(message::kWriteOutput);
    TableSpool table(workDirectory);
    ByteSpool newBytes(workDirectory);
    if (Creation(retained, table, newBytes, output, executableAlignment, input.unreadCompression()).run() != 0) {
        return -1;
    }
    // A trace or warning that could not be written fails the run too.
    if (!consoleDelivered()) return fail(message::kWriteOutput);
    if (output.close() != 0) return fail(message::kWriteOutput);
    return 0;
}

}  // namespace kotar
