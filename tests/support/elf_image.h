// Little-endian ELF images built in code for the executable analysis tests.
// They hold what the analysis reads (ELF header, program header table,
// relocation sections, section header table) and no text. Layout:
//
//   0                 ELF header (52 or 64 bytes)
//   phdrAt            program header table
//   ...               contents of each section, in order
//   ...               section header table: a null section, then the sections
//
// The builder writes through the structures of the C library's <elf.h>, so
// it shares no field offsets with the code under test.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <elf.h>

namespace kotar::test {

struct ElfSegment {
    std::uint32_t type = PT_LOAD;
    std::uint32_t flags = PF_R | PF_X;
    std::uint64_t offset = 0;
    std::uint64_t vaddr = 0;
    std::uint64_t memsz = 0;
};

struct ElfSection {
    std::uint32_t type = SHT_RELA;
    std::vector<std::uint64_t> offsets;  // r_offset of each entry (SHT_REL / SHT_RELA)
    std::string extraBytes;              // appended after the entries, counted in sh_size
    std::optional<std::uint64_t> size;   // sh_size, when not what the contents take
    std::optional<std::uint64_t> fileOffset;  // sh_offset, when not where the contents are
    std::optional<std::uint64_t> entsize;     // sh_entsize, when not the entry size
};

struct ElfSpec {
    bool elf64 = true;  // ELF64 for x86-64 (e_machine 62), else ELF32 for i386 (3)
    std::vector<ElfSegment> segments;
    std::vector<ElfSection> sections;
    std::uint64_t phdrAt = 0;  // where the program header table starts; 0: after the header
    // Header fields written as given instead of as the layout has them.
    std::optional<std::uint16_t> machine;
    std::optional<std::uint64_t> phoff, shoff;
    std::optional<std::uint16_t> phentsize, phnum, shentsize, shnum;
};

std::string buildElf(const ElfSpec& spec);

}  // namespace kotar::test
