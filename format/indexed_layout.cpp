#include "format/indexed_layout.h"

#include "format/byte_order.h"

namespace kotar {

void finishIndexedHeader(HeaderBlock& block) {
    storeMagic(block, kIndexedMagic);
    setHeaderChecksum(block, true);
}

std::uint32_t readExtensionField(const HeaderBlock& block, std::size_t offset) {
    return readLe32(block.data() + offset);
}

void writeExtensionField(HeaderBlock& block, std::size_t offset, std::uint32_t value) {
    writeLe32(block.data() + offset, value);
}

}  // namespace kotar
