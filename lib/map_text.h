// The mapping of an aligned executable's text, for a given page size: what
// kotar_map_text does with the running system's page size. Tests give it
// 16 KiB and 64 KiB to see what a kernel with such pages is refused.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kotar/reader.h"

namespace kotar {

// As kotar_map_text, on a system whose pages are `pageSize` bytes. The
// kernel maps whole pages, so the mapping, rounded up to one, must neither
// start off a page nor reach past the member's padded extent: its data
// rounded up to 4096 bytes, the least that creation aligns an executable
// to, which no other member's data shares.
int mapText(const kotar_archive* archive, const kotar_member* member, int executable, std::uint64_t pageSize,
            const void** address, std::size_t* length);

}  // namespace kotar
