// The executable page analysis: for an ELF32 or ELF64 little-endian image
// inside an archive member, where its single executable load segment (the
// text) starts, how many whole 4096-byte pages it spans, and on how many of
// them at least one relocation entry points.
#pragma once

#include <cstdint>
#include <optional>

#include "files/byte_source.h"
#include "format/header_block.h"

namespace kotar {

// The first bytes of every ELF image.
inline constexpr unsigned char kElfMagic[4] = {0x7F, 'E', 'L', 'F'};

struct ExecutableLayout {
    std::uint32_t textOffset = 0;
    std::uint32_t textPgs = 0;
    std::uint32_t fixUpPgs = 0;
};

// Reads the ELF headers of the member whose data starts at `dataStart` in
// `source`; its tables may lie past the member's own data. Problems are
// reported with one line on standard error and give a layout of zeros;
// trace lines go to standard output under `verbose`. Returns no layout only
// when the page bitmap cannot be allocated.
std::optional<ExecutableLayout> analyzeExecutable(const ByteSource& source, std::int64_t dataStart,
                                                  const HeaderBlock& header);

}  // namespace kotar
