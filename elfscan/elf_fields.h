// Where the executable analysis finds the ELF fields it reads, in the two
// little-endian layouts. Each field is (byte offset, width) inside its record.
//
//   record      field        ELF32    ELF64
//   ehdr        e_machine    18, 2    18, 2   62 (x86-64) selects ELF64
//               e_phoff      28, 4    32, 8
//               e_shoff      32, 4    40, 8
//               e_phentsize  42, 2    54, 2   must be 32 / 56
//               e_phnum      44, 2    56, 2
//               e_shentsize  46, 2    58, 2   must be 40 / 64
//               e_shnum      48, 2    60, 2
//   phdr        p_type        0, 4     0, 4
//               p_offset      4, 4     8, 8
//               p_vaddr       8, 4    16, 8
//               p_memsz      20, 4    40, 8
//               p_flags      24, 4     4, 4
//   shdr        sh_type       4, 4     4, 4
//               sh_offset    16, 4    24, 8
//               sh_size      20, 4    32, 8
//   rel / rela  r_offset      0, 4     0, 8   entries of 8 / 12 and 16 / 24 bytes
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/byte_order.h"

namespace kotar::elf {

struct Field {
    std::size_t offset;
    std::size_t width;  // 2, 4 or 8
};

// A field's value, widened with zero bits to 64.
inline std::uint64_t readField(const unsigned char* record, Field field) {
    const unsigned char* at = record + field.offset;
    switch (field.width) {
        case 2: return readLe16(at);
        case 4: return readLe32(at);
        default: return readLe64(at);
    }
}

inline constexpr std::uint16_t kMachineX86_64 = 62;
inline constexpr Field eMachine{18, 2};  // the same in both layouts
inline constexpr std::size_t kShortHeaderSize = 52;  // read before the class is known
inline constexpr std::size_t kLongHeaderSize = 64;

inline constexpr std::uint32_t kLoadSegment = 1;  // PT_LOAD
inline constexpr std::uint32_t kExecutableFlag = 1;  // PF_X
inline constexpr std::uint32_t kRelaSection = 4;  // SHT_RELA
inline constexpr std::uint32_t kRelSection = 9;  // SHT_REL

struct Layout {
    std::size_t headerSize;
    Field phoff, shoff, phentsize, phnum, shentsize, shnum;
    std::uint16_t phdrSize;  // the only accepted e_phentsize
    Field pType, pFlags, pOffset, pVaddr, pMemsz;
    std::uint16_t shdrSize;  // the only accepted e_shentsize
    Field shType, shOffset, shSize;
    std::uint32_t relSize, relaSize;  // entry strides, whatever sh_entsize says
    Field rOffset;
};

inline constexpr Layout kElf32{
    .headerSize = 52,
    .phoff = {28, 4}, .shoff = {32, 4}, .phentsize = {42, 2}, .phnum = {44, 2},
    .shentsize = {46, 2}, .shnum = {48, 2},
    .phdrSize = 32,
    .pType = {0, 4}, .pFlags = {24, 4}, .pOffset = {4, 4}, .pVaddr = {8, 4}, .pMemsz = {20, 4},
    .shdrSize = 40,
    .shType = {4, 4}, .shOffset = {16, 4}, .shSize = {20, 4},
    .relSize = 8, .relaSize = 12,
    .rOffset = {0, 4},
};

inline constexpr Layout kElf64{
    .headerSize = 64,
    .phoff = {32, 8}, .shoff = {40, 8}, .phentsize = {54, 2}, .phnum = {56, 2},
    .shentsize = {58, 2}, .shnum = {60, 2},
    .phdrSize = 56,
    .pType = {0, 4}, .pFlags = {4, 4}, .pOffset = {8, 8}, .pVaddr = {16, 8}, .pMemsz = {40, 8},
    .shdrSize = 64,
    .shType = {4, 4}, .shOffset = {24, 8}, .shSize = {32, 8},
    .relSize = 16, .relaSize = 24,
    .rOffset = {0, 8},
};

// Every field lies inside its record, so a record of the accepted size can be
// read without further checks.
constexpr bool fits(Field field, std::size_t recordSize) {
    return (field.width == 2 || field.width == 4 || field.width == 8) &&
           field.offset + field.width <= recordSize;
}

constexpr bool layoutFits(const Layout& l) {
    return fits(eMachine, kShortHeaderSize) && l.headerSize <= kLongHeaderSize &&
           fits(l.phoff, l.headerSize) && fits(l.shoff, l.headerSize) &&
           fits(l.phentsize, l.headerSize) && fits(l.phnum, l.headerSize) &&
           fits(l.shentsize, l.headerSize) && fits(l.shnum, l.headerSize) &&
           fits(l.pType, l.phdrSize) && fits(l.pFlags, l.phdrSize) && fits(l.pOffset, l.phdrSize) &&
           fits(l.pVaddr, l.phdrSize) && fits(l.pMemsz, l.phdrSize) &&
           fits(l.shType, l.shdrSize) && fits(l.shOffset, l.shdrSize) && fits(l.shSize, l.shdrSize) &&
           fits(l.rOffset, l.relSize) && fits(l.rOffset, l.relaSize);
}

static_assert(layoutFits(kElf32) && layoutFits(kElf64));
static_assert(kElf32.headerSize == kShortHeaderSize && kElf64.headerSize == kLongHeaderSize);

}  // namespace kotar::elf
