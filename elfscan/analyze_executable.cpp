#include "elfscan/analyze_executable.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "format/indexed_layout.h"
#include "text/messages.h"
#include "text/quoted_text.h"
#include "text/verbose.h"
#include "elfscan/elf_fields.h"

namespace kotar {

namespace {

// The page bitmap: one bit for each 4096-byte page of the addresses 0 to
// 0x7FFFFFFF, page p being bit p % 32 of word p / 32.
constexpr std::size_t kBitmapWords = 16384;
constexpr std::uint64_t kLastPage = 0x7FFFF;
static_assert(kBitmapWords * 32 == kLastPage + 1);

// A relocation section is read into a buffer that starts at this size and
// doubles as the bytes arrive, so a size claimed far past the stream's end
// costs no more memory than the stream holds.
constexpr std::size_t kFirstRelocationChunk = 64 * 1024;

std::unique_ptr<unsigned char[]> allocateBytes(std::size_t count) {
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[count]);
}

std::uint64_t pageOf(std::uint64_t address) { return address / kPageSize; }

class Analysis {
public:
    Analysis(const ByteSource& source, std::int64_t dataStart, std::uint32_t* fixUpBitmap)
        : source_(source), dataStart_(dataStart), position_(dataStart), fixUpBitmap_(fixUpBitmap) {}

    // 0 when the layout is known, -1 after one message on standard error.
    int run() {
        if (readHeader() != 0 || scanProgramHeaders() != 0 || scanSectionHeaders() != 0) return -1;
        return 0;
    }

    ExecutableLayout layout() const {
        return {.textOffset = static_cast<std::uint32_t>(textOffset_),
                .textPgs = static_cast<std::uint32_t>(textSize_ / kPageSize),
                .fixUpPgs = fixUpPgs_};
    }

private:
    static int stop(const char* message) { return fail(message); }

    // Moves the read position to dataStart + offset; false when that fails.
    bool seekTo(std::uint32_t offset) {
        std::int64_t target = 0;
        if (__builtin_add_overflow(dataStart_, static_cast<std::int64_t>(offset), &target)) return false;
        position_ = target;
        return true;
    }

    // Reads up to `count` bytes at the read position and moves past them.
    std::size_t read(unsigned char* buffer, std::size_t count) {
        const std::size_t got = source_.readAt(static_cast<std::uint64_t>(position_), buffer, count);
        position_ += static_cast<std::int64_t>(got);
        return got;
    }

    // Reads a whole table at dataStart + offset; false when fewer bytes come.
    bool readTable(std::uint32_t offset, unsigned char* buffer, std::size_t count) {
        return seekTo(offset) && read(buffer, count) == count;
    }

    std::uint64_t headerField(elf::Field field) const { return elf::readField(ehdr_.get(), field); }

    int readHeader() {
        ehdr_ = allocateBytes(elf::kLongHeaderSize);
        if (!ehdr_) return stop(message::kEhdrMemory);
        if (dataStart_ < 0) return stop(message::kPositionFailed);
        if (read(ehdr_.get(), elf::kShortHeaderSize) != elf::kShortHeaderSize) {
            return stop(message::kEhdrRead);
        }
        if (headerField(elf::eMachine) != elf::kMachineX86_64) return 0;
        elf_ = &elf::kElf64;
        if (!seekTo(0) || read(ehdr_.get(), elf::kLongHeaderSize) != elf::kLongHeaderSize) {
            return stop(message::kEhdrRead);
        }
        return 0;
    }

    int scanProgramHeaders() {
        const std::uint64_t entrySize = headerField(elf_->phentsize);
        const std::uint64_t count = headerField(elf_->phnum);
        const std::uint64_t tableOffset = headerField(elf_->phoff);
        if (count * entrySize == 0 || tableOffset == 0 || entrySize != elf_->phdrSize) {
            return stop(message::kNotExecutable);
        }
        const auto phdr = allocateBytes(count * entrySize);
        if (!phdr) return stop(message::kPhdrMemory);
        if (!readTable(static_cast<std::uint32_t>(tableOffset), phdr.get(), count * entrySize)) {
            return stop(message::kPhdrRead);
        }
        for (std::uint64_t i = 0; i < count; ++i) {
            if (takeProgramHeader(phdr.get() + i * entrySize) != 0) return -1;
        }
        return 0;
    }

    int takeProgramHeader(const unsigned char* entry) {
        if (elf::readField(entry, elf_->pType) != elf::kLoadSegment) return 0;
        const std::uint64_t vaddr = elf::readField(entry, elf_->pVaddr);
        const std::uint64_t memsz = elf::readField(entry, elf_->pMemsz);
        const auto flags = static_cast<std::uint32_t>(elf::readField(entry, elf_->pFlags));
        if (verbose) {
            std::fprintf(traceOutput, "addr: %#llx, sz: %lld, flags: %d\n", static_cast<unsigned long long>(vaddr),
                        static_cast<long long>(memsz), static_cast<int>(flags));
        }
        if ((flags & elf::kExecutableFlag) == 0) return 0;
        if (haveText_) return stop(message::kOneTextSegment);
        haveText_ = true;
        textOffset_ = elf::readField(entry, elf_->pOffset);
        textAddr_ = vaddr;
        if (textAddr_ % kPageSize != 0) return stop(message::kTextUnaligned);
        if (pageOf(textAddr_) > kLastPage) return stop(message::kTextTooBig);
        textSize_ = memsz / kPageSize * kPageSize;
        textEnd_ = textAddr_ + textSize_;
        // textAddr is below 2 GiB here, so an end below it has wrapped past 2^64.
        if (textEnd_ < textAddr_ || pageOf(textEnd_) > kLastPage) return stop(message::kTextTooBig);
        return 0;
    }

    int scanSectionHeaders() {
        const std::uint64_t entrySize = headerField(elf_->shentsize);
        const std::uint64_t count = headerField(elf_->shnum);
        const std::uint64_t tableOffset = headerField(elf_->shoff);
        if (count * entrySize == 0 || tableOffset == 0 || entrySize != elf_->shdrSize) {
            return stop(message::kNotExecutable);
        }
        const auto shdr = allocateBytes(count * entrySize);
        if (!shdr) return stop(message::kShdrMemory);
        if (!readTable(static_cast<std::uint32_t>(tableOffset), shdr.get(), count * entrySize)) {
            return stop(message::kShdrRead);
        }
        for (std::uint64_t i = 0; i < count; ++i) {
            const unsigned char* entry = shdr.get() + i * entrySize;
            const std::uint64_t type = elf::readField(entry, elf_->shType);
            if (type != elf::kRelSection && type != elf::kRelaSection) continue;
            const std::uint32_t stride = type == elf::kRelSection ? elf_->relSize : elf_->relaSize;
            if (walkRelocations(entry, stride) != 0) return -1;
        }
        return 0;
    }

    enum class ReadOutcome { complete, outOfMemory, tooShort };

    // Reads `size` bytes from the input's position into `buffer`, which
    // grows with the bytes delivered and never beyond `size`.
    ReadOutcome readGrowing(std::uint32_t size, std::unique_ptr<unsigned char[]>& buffer) {
        std::size_t capacity = std::min<std::size_t>(size, kFirstRelocationChunk);
        buffer = allocateBytes(capacity);
        if (!buffer) return ReadOutcome::outOfMemory;
        std::size_t filled = 0;
        for (;;) {
            const std::size_t wanted = capacity - filled;
            const std::size_t got = read(buffer.get() + filled, wanted);
            filled += got;
            if (got != wanted) return ReadOutcome::tooShort;
            if (filled == size) return ReadOutcome::complete;
            const std::size_t larger = std::min<std::size_t>(size, capacity * 2);
            auto grown = allocateBytes(larger);
            if (!grown) return ReadOutcome::outOfMemory;
            std::memcpy(grown.get(), buffer.get(), filled);
            buffer = std::move(grown);
            capacity = larger;
        }
    }

    int walkRelocations(const unsigned char* section, std::uint32_t stride) {
        const std::uint64_t size = elf::readField(section, elf_->shSize);
        const auto offset = static_cast<std::uint32_t>(elf::readField(section, elf_->shOffset));
        // A size of 2^32 or more can never be read whole: its low 32 bits
        // are all that would be asked for.
        if (size > UINT32_MAX) return stop(message::kRelRead);
        if (size == 0) return 0;
        if (!seekTo(offset)) return stop(message::kRelRead);
        std::unique_ptr<unsigned char[]> reltab;
        switch (readGrowing(static_cast<std::uint32_t>(size), reltab)) {
            case ReadOutcome::outOfMemory: return stop(message::kReltabMemory);
            case ReadOutcome::tooShort: return stop(message::kRelRead);
            case ReadOutcome::complete: break;
        }
        const std::uint64_t entries = size / stride;  // a shorter remainder is ignored
        for (std::uint64_t i = 0; i < entries; ++i) {
            const std::uint64_t target = elf::readField(reltab.get() + i * stride, elf_->rOffset);
            if (target < textAddr_ || target >= textEnd_) continue;
            if (verbose) {
                std::fprintf(traceOutput, "textAddr: 0x%llx, textEnd: 0x%llx, off: 0x%llx\n",
                            static_cast<unsigned long long>(textAddr_),
                            static_cast<unsigned long long>(textEnd_),
                            static_cast<unsigned long long>(target));
            }
            const std::uint64_t page = pageOf(target);  // below 2^19: textEnd is at most 2 GiB
            markFixUpPage(page);
        }
        return 0;
    }

    // Pages are counted as they are first marked: counting the bitmap's
    // 16384 words afterwards cost more than the rest of the analysis.
    void markFixUpPage(std::uint64_t page) {
        std::uint32_t& word = fixUpBitmap_[page / 32];
        const std::uint32_t bit = std::uint32_t{1} << (page % 32);
        if ((word & bit) != 0) return;
        word |= bit;
        ++fixUpPgs_;
    }

    const ByteSource& source_;
    const std::int64_t dataStart_;
    std::int64_t position_;
    std::uint32_t* const fixUpBitmap_;
    const elf::Layout* elf_ = &elf::kElf32;
    std::unique_ptr<unsigned char[]> ehdr_;
    bool haveText_ = false;
    std::uint64_t textOffset_ = 0;
    std::uint64_t textAddr_ = 0;
    std::uint64_t textSize_ = 0;
    std::uint64_t textEnd_ = 0;
    std::uint32_t fixUpPgs_ = 0;
};

}  // namespace

std::optional<ExecutableLayout> analyzeExecutable(const ByteSource& source, std::int64_t dataStart,
                                                  const HeaderBlock& header) {
    const std::unique_ptr<std::uint32_t[]> fixUpBitmap(new (std::nothrow) std::uint32_t[kBitmapWords]());
    if (!fixUpBitmap) {
        fail(message::kBitmapMemory);
        return std::nullopt;
    }
    ExecutableLayout layout;
    {
        Analysis analysis(source, dataStart, fixUpBitmap.get());
        if (analysis.run() == 0) layout = analysis.layout();
    }
    if (verbose) {
        std::fprintf(traceOutput, "%s: textPgs: %d, fixUpPgs: %d\n", quotedText(fieldText(header, field::name)).c_str(),
                    static_cast<int>(layout.textPgs), static_cast<int>(layout.fixUpPgs));
    }
    return layout;
}

}  // namespace kotar
