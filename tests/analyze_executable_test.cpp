#include "elfscan/analyze_executable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <new>
#include <set>
#include <sstream>

#include "text/verbose.h"
#include "tests/support/elf_image.h"
#include "tests/support/test_support.h"

// Nothrow array allocations of one size can be made to fail, to reach the
// analysis's out-of-memory stops.
namespace {
std::size_t failingSize = 0;  // 0: nothing fails
int matchesToPass = 0;        // allocations of that size still served first
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (failingSize != 0 && size == failingSize) {
        if (matchesToPass == 0) return nullptr;
        --matchesToPass;
    }
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace kotar {

bool operator==(const ExecutableLayout& a, const ExecutableLayout& b) {
    return a.textOffset == b.textOffset && a.textPgs == b.textPgs && a.fixUpPgs == b.fixUpPgs;
}

void PrintTo(const ExecutableLayout& layout, std::ostream* out) {
    *out << "{textOffset " << layout.textOffset << ", textPgs " << layout.textPgs << ", fixUpPgs "
         << layout.fixUpPgs << "}";
}

namespace {

using test::ElfSection;
using test::ElfSegment;
using test::ElfSpec;

constexpr std::uint64_t kText = 0x400000;
constexpr ExecutableLayout kZeros{};

struct Outcome {
    std::optional<ExecutableLayout> layout;
    std::string out;
    std::string err;
};

// Analyses the member whose data starts at dataStart in `stream`, read by
// position from a file, with trace lines on.
Outcome analyzeStream(const std::string& stream, std::int64_t dataStart,
                      const HeaderBlock& header = test::makeHeader({.name = "prog"})) {
    test::TempDir dir;
    const std::string path = dir / "stream";
    test::writeFile(path, stream);
    Outcome outcome;
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        ADD_FAILURE() << "cannot open " << path;
        return outcome;
    }
    verbose = true;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    outcome.layout = analyzeExecutable(FileByteSource(descriptor), dataStart, header);
    std::fflush(stdout);
    outcome.out = testing::internal::GetCapturedStdout();
    outcome.err = testing::internal::GetCapturedStderr();
    verbose = false;
    close(descriptor);
    return outcome;
}

// The image as the data of a member "prog" after one header block, followed
// by the two zero blocks of a tar's end.
Outcome analyzeImage(const std::string& image) {
    std::string stream;
    test::appendBlock(stream, test::makeHeader({.name = "prog", .mode = 0755, .size = image.size()}));
    test::appendPadded(stream, image);
    stream.append(2 * kBlockSize, '\0');
    return analyzeStream(stream, kBlockSize);
}

ElfSegment text(std::uint64_t vaddr, std::uint64_t memsz, std::uint64_t offset = 0x1000) {
    return {.flags = PF_R | PF_X, .offset = offset, .vaddr = vaddr, .memsz = memsz};
}
ElfSegment data(std::uint64_t vaddr) {
    return {.flags = PF_R | PF_W, .offset = 0x3000, .vaddr = vaddr, .memsz = 0x800};
}
ElfSection rela(std::vector<std::uint64_t> offsets) { return {.type = SHT_RELA, .offsets = offsets}; }
ElfSection rel(std::vector<std::uint64_t> offsets) { return {.type = SHT_REL, .offsets = offsets}; }

std::string le32(std::uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

struct Case {
    const char* what;
    ElfSpec spec;
    ExecutableLayout expected;
    std::string err;
    bool elf64Only = false;
};

// Runs every case in both classes (unless it is for ELF64 only). A stop
// gives zeros and, with trace lines on, a closing line with zeros.
void runCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        for (bool elf64 : {true, false}) {
            if (c.elf64Only && !elf64) continue;
            SCOPED_TRACE(std::string(c.what) + (elf64 ? " (ELF64)" : " (ELF32)"));
            ElfSpec spec = c.spec;
            spec.elf64 = elf64;
            const Outcome outcome = analyzeImage(test::buildElf(spec));
            EXPECT_EQ(outcome.layout, c.expected);
            EXPECT_EQ(outcome.err, c.err);
            if (!c.err.empty()) {
                EXPECT_TRUE(outcome.out.ends_with("prog: textPgs: 0, fixUpPgs: 0\n")) << outcome.out;
            }
        }
    }
}

TEST(AnalyzeExecutable, TracesAGoodImageInOrder) {
    const ElfSpec spec{.segments = {text(kText, 0x2A10, 0), data(0x600000)},
                       .sections = {rela({kText + 0x1010, kText - 8, kText + 0x2000}), rel({kText})}};
    {
        const Outcome outcome = analyzeImage(test::buildElf(spec));
        EXPECT_EQ(outcome.layout, (ExecutableLayout{0, 2, 2}));
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.out,
                  "addr: 0x400000, sz: 10768, flags: 5\n"
                  "addr: 0x600000, sz: 2048, flags: 6\n"
                  "textAddr: 0x400000, textEnd: 0x402000, off: 0x401010\n"
                  "textAddr: 0x400000, textEnd: 0x402000, off: 0x400000\n"
                  "prog: textPgs: 2, fixUpPgs: 2\n");
    }
}

TEST(AnalyzeExecutable, TracesUpToASecondExecutableSegment) {
    const Outcome outcome = analyzeImage(test::buildElf(
        {.segments = {text(kText, 0x2000), data(0x600000), text(0x800000, 0x1000), data(0x900000)},
         .sections = {rela({kText})}}));
    EXPECT_EQ(outcome.err, "only 1 executable load section supported\n");
    EXPECT_EQ(outcome.out,
              "addr: 0x400000, sz: 8192, flags: 5\n"
              "addr: 0x600000, sz: 2048, flags: 6\n"
              "addr: 0x800000, sz: 4096, flags: 5\n"
              "prog: textPgs: 0, fixUpPgs: 0\n");
}

TEST(AnalyzeExecutable, CountsTheTextPagesThatRelocationsTouch) {
    std::vector<std::uint64_t> onePage;
    for (std::uint64_t at = kText + 0x2000; at < kText + 0x3000; at += 0x80) onePage.push_back(at);
    onePage.push_back(kText + 0x2FFC);  // patches bytes on the next page too
    runCases({
        {"the range is half open", {.segments = {data(0x600000), text(kText, 0x5A10)},
            .sections = {rela({kText - 8, kText, kText + 0x4FF8, kText + 0x5000, kText + 0x5800})}},
         {0x1000, 5, 2}},
        {"a page counts once", {.segments = {text(kText, 0x5000)}, .sections = {rela(onePage)}}, {0x1000, 5, 1}},
        {"REL and RELA have their own strides",
         {.segments = {text(kText, 0x5000)},
          .sections = {rel({kText, kText + 0x1000}), rela({kText + 0x2000}), rel({kText + 0x3000})}},
         {0x1000, 5, 4}},
        {"other section types are passed over",
         {.segments = {text(kText, 0x5000)},
          .sections = {{.type = SHT_PROGBITS, .offsets = {kText}}, {.type = 19 /* RELR */, .offsets = {kText}},
                       {.type = SHT_DYNAMIC, .offsets = {kText}}, rela({kText + 0x4000})}},
         {0x1000, 5, 1}},
        {"sh_entsize is not used", {.segments = {text(kText, 0x5000)},
            .sections = {{.type = SHT_RELA, .offsets = {kText, kText + 0x1000, kText + 0x2000}, .entsize = 8}}},
         {0x1000, 5, 3}},
        {"a remainder shorter than an entry is not read", {.segments = {text(kText, 0x5000)},
            .sections = {{.type = SHT_RELA, .offsets = {kText}, .extraBytes = le32(kText + 0x1000) + "1234567"}}},
         {0x1000, 5, 1}},
        {"an empty section is not read", {.segments = {text(kText, 0x5000)},
            .sections = {{.type = SHT_REL, .size = 0, .fileOffset = 0x7FFFFFF0}, rel({kText})}},
         {0x1000, 5, 1}},
        {"text below one page", {.segments = {text(kText, 0xFFF, 0x2000)}, .sections = {rela({kText})}}, {0x2000, 0, 0}},
        {"no executable load segment",
         {.segments = {data(0), {.type = PT_GNU_STACK, .flags = PF_R | PF_W | PF_X}},
          .sections = {rela({0, kText, 0x600000})}},
         kZeros},
        {"only a load segment is the text",
         {.segments = {{.type = PT_NOTE, .flags = PF_R | PF_X, .vaddr = 0x123}, text(kText, 0x2000)},
          .sections = {rela({kText})}},
         {0x1000, 2, 1}},
        {"position-independent text at 0", {.segments = {text(0, 0x3000, 0)}, .sections = {rela({0, 0x2FFF, 0x3000})}},
         {0, 3, 2}},
        {"the highest text accepted",
         {.segments = {text(0x7FFFE000, 0x1000)}, .sections = {rela({0x7FFFE000, 0x7FFFEFFF, 0x7FFFF000})}},
         {0x1000, 1, 1}},
        {"textOffset keeps the low 32 bits", {.segments = {text(kText, 0x1000, 0x100003000)}}, {0x3000, 1, 0}, "",
         true},
    });
}

TEST(AnalyzeExecutable, StopsWithOneMessageAndZeros) {
    const ElfSpec good{.segments = {text(kText, 0x2000), data(0x600000)}, .sections = {rela({kText})}};
    auto with = [&good](auto change) {
        ElfSpec spec = good;
        change(spec);
        return spec;
    };
    const std::string invalid = "not a valid exec file\n";
    const std::string tooBig = "text region is too big\n";
    runCases({
        {"e_phnum 0", with([](ElfSpec& s) { s.phnum = 0; }), kZeros, invalid},
        {"e_phentsize 0", with([](ElfSpec& s) { s.phentsize = 0; }), kZeros, invalid},
        {"e_phoff 0", with([](ElfSpec& s) { s.phoff = 0; }), kZeros, invalid},
        {"e_phentsize 40", with([](ElfSpec& s) { s.phentsize = 40; }), kZeros, invalid},
        {"e_shnum 0", with([](ElfSpec& s) { s.shnum = 0; }), kZeros, invalid},
        {"e_shoff 0", with([](ElfSpec& s) { s.shoff = 0; }), kZeros, invalid},
        {"e_shentsize 56", with([](ElfSpec& s) { s.shentsize = 56; }), kZeros, invalid},
        {"e_phoff past the end", with([](ElfSpec& s) { s.phoff = 0x100000; }), kZeros, "could not read phdr\n"},
        {"phdr runs past the end", with([](ElfSpec& s) { s.phnum = 200; }), kZeros, "could not read phdr\n"},
        {"e_shoff past the end", with([](ElfSpec& s) { s.shoff = 0x100000; }), kZeros, "could not read shdr\n"},
        {"shdr runs past the end", with([](ElfSpec& s) { s.shnum = 200; }), kZeros, "could not read shdr\n"},
        {"sh_offset past the end", with([](ElfSpec& s) { s.sections[0].fileOffset = 0x100000; }), kZeros,
         "could not read rel\n"},
        {"sh_size runs past the end", with([](ElfSpec& s) { s.sections[0].size = 0x10000; }), kZeros,
         "could not read rel\n"},
        {"sh_size of 2^32 and more", with([](ElfSpec& s) { s.sections[0].size = (1ull << 32) + 24; }), kZeros,
         "could not read rel\n", true},
        {"two executable load segments", with([](ElfSpec& s) { s.segments.push_back(text(0x800000, 0x1000)); }),
         kZeros, "only 1 executable load section supported\n"},
        {"unaligned text", with([](ElfSpec& s) { s.segments[0].vaddr = 0x400800; }), kZeros,
         "text address not aligned on page boundary\n"},
        {"text ending at 2 GiB", with([](ElfSpec& s) { s.segments[0] = text(0x7FFFE000, 0x2000); }), kZeros, tooBig},
        {"text starting at 2 GiB", with([](ElfSpec& s) { s.segments[0] = text(0x80000000, 0x1000); }), kZeros, tooBig},
        {"text from 0xFFFFF000", with([](ElfSpec& s) { s.segments[0] = text(0xFFFFF000, 0); }), kZeros, tooBig},
        {"p_memsz wrapping around", with([](ElfSpec& s) { s.segments[0] = text(0x1000, 0xFFFFFFFFFFFFF000); }),
         kZeros, tooBig, true},
        {"text without section headers", with([](ElfSpec& s) { s.shnum = 0; }), kZeros, invalid},
    });
}

TEST(AnalyzeExecutable, TakesTheClassFromTheMachineAlone) {
    std::string image = test::buildElf({.segments = {text(kText, 0x2000)}, .sections = {rela({kText})}});
    image[EI_CLASS] = ELFCLASS32;
    image[EI_DATA] = ELFDATA2MSB;
    EXPECT_EQ(analyzeImage(image).layout, (ExecutableLayout{0x1000, 2, 1}));

    const ElfSpec wrongMachine{.segments = {text(kText, 0x2000)}, .machine = EM_AARCH64};
    EXPECT_EQ(analyzeImage(test::buildElf(wrongMachine)).err, "not a valid exec file\n");
    const ElfSpec elf32As64{.elf64 = false, .segments = {text(kText, 0x2000)}, .machine = EM_X86_64};
    EXPECT_EQ(analyzeImage(test::buildElf(elf32As64)).err, "not a valid exec file\n");
}

TEST(AnalyzeExecutable, ShortStreamsAndMembers) {
    const std::string image = test::buildElf({.segments = {text(kText, 0x2000)}});
    EXPECT_EQ(analyzeStream(std::string(512, 'x') + image.substr(0, 51), 512).err, "could not read ehdr\n");
    const Outcome cut64 = analyzeStream(std::string(512, 'x') + image.substr(0, 60), 512);
    EXPECT_EQ(cut64.err, "could not read ehdr\n");
    EXPECT_EQ(cut64.layout, kZeros);

    // Four bytes of magic; the rest of the header comes from the padding.
    const Outcome magicOnly = analyzeImage("\x7f" "ELF");
    EXPECT_EQ(magicOnly.err, "not a valid exec file\n");
    EXPECT_EQ(magicOnly.layout, kZeros);
}

TEST(AnalyzeExecutable, ReportsAPositionThatCannotBeTaken) {
    // Only a negative position cannot be taken.
    const Outcome outcome = analyzeStream(test::buildElf({.segments = {text(kText, 0x2000)}}), -1);
    EXPECT_EQ(outcome.err, "gzseek failed\n");
    EXPECT_EQ(outcome.layout, kZeros);
}

TEST(AnalyzeExecutable, ReadsTablesFromTheBytesAfterTheMember) {
    // The member holds the 64-byte ELF header only; its tables lie in the
    // data of the member after it.
    std::string image = test::buildElf(
        {.segments = {text(kText, 0x3000)}, .sections = {rela({kText, kText + 0x2000})}, .phdrAt = 1024});
    std::string stream;
    test::appendBlock(stream, test::makeHeader({.name = "prog", .mode = 0755, .size = 64}));
    const HeaderBlock next = test::makeHeader({.name = "next", .size = image.size() - 1024});
    image.replace(512, kBlockSize, reinterpret_cast<const char*>(next.data()), kBlockSize);
    test::appendPadded(stream, image);
    stream.append(2 * kBlockSize, '\0');
    const Outcome outcome = analyzeStream(stream, kBlockSize);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.layout, (ExecutableLayout{0x1000, 3, 2}));
}

TEST(AnalyzeExecutable, ReadsTablesOfTheLargestSizes) {
    ElfSpec spec{.segments = std::vector<ElfSegment>(65534, ElfSegment{.type = PT_NULL}),
                 .sections = std::vector<ElfSection>(65533, ElfSection{.type = SHT_NULL})};
    spec.segments.push_back(text(kText, 0x2000));
    spec.sections.push_back(rela({kText + 0x1000}));
    for (bool elf64 : {true, false}) {
        spec.elf64 = elf64;
        const Outcome outcome = analyzeImage(test::buildElf(spec));
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.layout, (ExecutableLayout{0x1000, 2, 1}));
    }
}

TEST(AnalyzeExecutable, ReadsLargeRelocationSectionsWhole) {
    std::vector<std::uint64_t> offsets;
    for (std::uint64_t i = 0; i < 20000; ++i) offsets.push_back(kText + i * 40 % 0x30000);
    const ElfSpec spec{.segments = {text(kText, 0x30000)}, .sections = {rela({kText}), rela(offsets)}};
    for (bool elf64 : {true, false}) {
        SCOPED_TRACE(elf64 ? "ELF64" : "ELF32");
        ElfSpec s = spec;
        s.elf64 = elf64;
        const std::string image = test::buildElf(s);
        EXPECT_EQ(analyzeImage(image).layout, (ExecutableLayout{0x1000, 0x30, 0x30}));

        // The same section claimed far longer than the stream.
        s.sections[1].size = (elf64 ? 24 : 12) * offsets.size() + 0x100000;
        const Outcome cut = analyzeImage(test::buildElf(s));
        EXPECT_EQ(cut.err, "could not read rel\n");
        EXPECT_EQ(cut.layout, kZeros);
    }
}

TEST(AnalyzeExecutable, StopsWhenMemoryRunsOut) {
    std::vector<std::uint64_t> many(20000, kText);
    const ElfSpec base{.segments = {text(kText, 0x2000), data(0x600000), {.type = PT_NOTE}},
                       .sections = {rela({kText}), rela(many)}};
    for (bool elf64 : {true, false}) {
        ElfSpec spec = base;
        spec.elf64 = elf64;
        const std::string image = test::buildElf(spec);
        const std::size_t phdrSize = elf64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
        const std::size_t shdrSize = elf64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
        const std::size_t relaSize = elf64 ? sizeof(Elf64_Rela) : sizeof(Elf32_Rela);
        struct Row {
            const char* what;
            std::size_t size;
            int pass;
            std::string err;
        };
        const Row rows[] = {
            {"ehdr", 64, 0, "could not allocate memory for ehdr\n"},
            {"phdr", 3 * phdrSize, 0, "could not allocate memory for phdr\n"},
            {"shdr", 3 * shdrSize, 0, "could not allocate memory for shdr\n"},
            {"reltab", relaSize, 0, "could not allocate memory for reltab\n"},
            {"first part of a large reltab", 65536, 1, "could not allocate memory for reltab\n"},
            {"growing reltab", 131072, 0, "could not allocate memory for reltab\n"},
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.what) + (elf64 ? " (ELF64)" : " (ELF32)"));
            failingSize = row.size;
            matchesToPass = row.pass;
            const Outcome outcome = analyzeImage(image);
            failingSize = 0;
            EXPECT_EQ(outcome.err, row.err);
            EXPECT_EQ(outcome.layout, kZeros);
            EXPECT_TRUE(outcome.out.ends_with("prog: textPgs: 0, fixUpPgs: 0\n")) << outcome.out;
        }
        failingSize = 65536;  // the page bitmap
        const Outcome outcome = analyzeImage(image);
        failingSize = 0;
        EXPECT_EQ(outcome.err, "could not allocate memory for bitmap\n");
        EXPECT_FALSE(outcome.layout.has_value());
        EXPECT_EQ(outcome.out, "");
    }
}

TEST(AnalyzeExecutable, PrintsAtMost100CharactersOfTheName) {
    const std::string name(100, 'n');
    std::string stream(kBlockSize, '\0');
    stream += test::buildElf({.segments = {text(kText, 0x1000)}});
    const Outcome outcome = analyzeStream(stream, kBlockSize, test::makeHeader({.name = name, .mode = 0755}));
    EXPECT_TRUE(outcome.out.ends_with("\n" + name + ": textPgs: 1, fixUpPgs: 0\n")) << outcome.out;
}

// What readelf's view of an executable implies: its one executable PT_LOAD
// and the r_offset of every REL and RELA entry.
struct ReadelfView {
    ExecutableLayout layout;
    std::size_t countedRelocations = 0;
};

ReadelfView readelfView(const std::string& path) {
    std::uint64_t textAddr = 0, textEnd = 0;
    ReadelfView view;
    int executableLoads = 0;
    std::istringstream segments(test::runCommand({"readelf", "-lW", path}).out);
    for (std::string line; std::getline(segments, line);) {
        std::istringstream in(line);
        std::vector<std::string> tokens;
        for (std::string token; in >> token;) tokens.push_back(token);
        // LOAD offset vaddr paddr filesz memsz flags... align
        if (tokens.size() < 8 || tokens[0] != "LOAD") continue;
        std::string flags;
        for (std::size_t i = 6; i + 1 < tokens.size(); ++i) flags += tokens[i];
        if (flags.find('E') == std::string::npos) continue;
        ++executableLoads;
        const std::uint64_t memsz = std::stoull(tokens[5], nullptr, 16);
        textAddr = std::stoull(tokens[2], nullptr, 16);
        textEnd = textAddr + memsz / 4096 * 4096;
        view.layout.textOffset = static_cast<std::uint32_t>(std::stoull(tokens[1], nullptr, 16));
        view.layout.textPgs = static_cast<std::uint32_t>(memsz / 4096);
    }
    EXPECT_EQ(executableLoads, 1) << path;
    EXPECT_EQ(textAddr % 4096, 0u) << path;

    std::set<std::uint64_t> pages;
    std::istringstream relocations(test::runCommand({"readelf", "-rW", path}).out);
    for (std::string line; std::getline(relocations, line);) {
        // "Relocation section '.rela.dyn' at offset 0x5f8 contains 196 entries:"
        const std::size_t contains = line.find(" contains ");
        if (!line.starts_with("Relocation section") || contains == std::string::npos) continue;
        const std::size_t claimed = std::stoull(line.substr(contains + 10));
        std::string columns;
        std::getline(relocations, columns);
        if (columns.find("Offset") == std::string::npos || columns.find("Info") == std::string::npos) continue;
        std::size_t entries = 0;
        for (std::string entry; std::getline(relocations, entry) && !entry.empty(); ++entries) {
            const std::uint64_t target = std::stoull(entry, nullptr, 16);
            if (target < textAddr || target >= textEnd) continue;
            ++view.countedRelocations;
            pages.insert(target / 4096);
        }
        EXPECT_EQ(entries, claimed) << path << ": " << line;
    }
    view.layout.fixUpPgs = static_cast<std::uint32_t>(pages.size());
    return view;
}

std::size_t countLines(const std::string& text, const std::string& start) {
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find("\n" + start, at)) != std::string::npos; ++at) ++count;
    return count + (text.starts_with(start) ? 1 : 0);
}

TEST(AnalyzeExecutable, AgreesWithReadelfOnRealExecutables) {
    test::TempDir dir;
    test::writeFile(dir / "prog.c",
                    "#include <stdio.h>\n"
                    "static int twice(int x) { return 2 * x; }\n"
                    "int (*table[])(int) = {twice};\n"
                    "const char *message = \"hello\";\n"
                    "int main(int argc, char **argv) { (void)argv; printf(\"%s %d\\n\", message, table[0](argc)); }\n");
    std::vector<std::string> paths;
    const std::pair<const char*, const char*> builds[] = {
        {"pie", "-fPIE -pie"}, {"nopie", "-fno-PIE -no-pie"}, {"static", "-static -Wl,--emit-relocs"}};
    for (const auto& [name, flags] : builds) {
        if (test::shell("gcc -O1 " + std::string(flags) + " -o " + (dir / name) + " " + (dir / "prog.c")) == 0) {
            paths.push_back(dir / name);
        }
    }
    for (const char* path : {"/usr/bin/ls", "/usr/bin/bash", "/usr/bin/gzip", "/usr/bin/readelf"}) {
        if (test::fileExists(path)) paths.emplace_back(path);
    }
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const ReadelfView expected = readelfView(path);
        if (path.ends_with("static")) {
            EXPECT_GT(expected.layout.fixUpPgs, 10u);
        }
        // A member before this one, so its data starts at 2048.
        std::string stream;
        test::appendBlock(stream, test::makeHeader({.name = "before", .size = 700}));
        test::appendPadded(stream, std::string(700, 'b'));
        const std::string image = test::readFile(path);
        test::appendBlock(stream, test::makeHeader({.name = "prog", .mode = 0755, .size = image.size()}));
        test::appendPadded(stream, image);
        stream.append(2 * kBlockSize, '\0');
        const Outcome outcome = analyzeStream(stream, 2048);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.layout, expected.layout);
        EXPECT_EQ(countLines(outcome.out, "textAddr: "), expected.countedRelocations);
        EXPECT_EQ(countLines(outcome.out, "addr: "), countLines(test::runCommand({"readelf", "-lW", path}).out, "  LOAD "));
    }
}

}  // namespace
}  // namespace kotar
