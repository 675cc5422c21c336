// An independent checker for indexed archives: it walks an indexed archive
// next to the plain GNU tar it was made from, with its own small parser, and
// reports every broken rule of the layout as a gtest failure. It also works
// out what an executable's header fields must hold, from readelf's view of
// the ELF image rather than kotar's own analysis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "elfscan/analyze_executable.h"

namespace kotar::test {

// One member of the indexed archive ('K' and 'L' entries are folded into
// the member they name).
struct IndexedMember {
    std::string name;            // the long name of a preceding 'L' entry, else the name field
    std::size_t headerOffset = 0;
    char type = 0;               // typeflag in the indexed archive
    std::uint32_t size = 0;
    std::uint32_t dataOffset = 0;  // 0 when the member has no data
    bool aligned = false;        // made an aligned executable ('0' became '7')
    ExecutableLayout layout;     // bytes 500..511 as stored
};

struct IndexedArchive {
    std::size_t tableBlocks = 0;  // headers, long-name and sparse extension blocks, without the zero block
    std::vector<IndexedMember> members;
};

// Checks `indexed` (the bytes of a ktar) against `sourceTar` (the bytes of
// the uncompressed GNU tar it was made from): header positions, magic,
// checksums, the fields carried over from the source, the zero block after
// the table, where each member's data lies (alignment, order, no overlap,
// unwritten gaps reading as zeros), its bytes, and the file's length.
// Aligned executables must hold the layout given for their name in
// `layouts`, or else the one readelf gives for their data.
// Every violation is an ADD_FAILURE; the members found are returned.
IndexedArchive checkIndexedArchive(const std::string& indexed, const std::string& sourceTar,
                                   const std::map<std::string, ExecutableLayout>& layouts = {});

// What readelf reports about an ELF file.
struct ElfFacts {
    struct Load {
        std::uint64_t offset = 0;
        std::uint64_t vaddr = 0;
        std::uint64_t memsz = 0;
        unsigned flags = 0;  // PF_X 1, PF_W 2, PF_R 4
    };
    std::vector<Load> loads;                 // PT_LOAD headers, in table order
    std::vector<std::uint64_t> relocations;  // r_offset of every REL/RELA entry, section by section
};

// Runs readelf -lW and -rW on the file; false when readelf rejects it.
bool readElfFacts(const std::string& path, ElfFacts& facts);

// The header fields of an aligned executable with these facts: the single
// executable PT_LOAD gives textOffset and textPgs (whole pages of p_memsz);
// fixUpPgs counts the distinct pages of those text pages that relocations
// patch. Zeros when there is no single page-aligned executable PT_LOAD.
ExecutableLayout layoutFromElf(const ElfFacts& facts);

}  // namespace kotar::test
