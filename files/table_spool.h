// TableSpool: the header table as creation gathers it, block by block, in
// order. The first blocks are held in memory; beyond a bound they go to an
// unlinked temporary file, so a table of any length costs bounded memory.
// Once gathered, the blocks are read back in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "format/header_block.h"

namespace kotar {

class TableSpool {
public:
    // Blocks beyond the memory bound go to a file in `directory`.
    explicit TableSpool(std::string directory) : directory_(std::move(directory)) {}
    ~TableSpool();
    TableSpool(const TableSpool&) = delete;
    TableSpool& operator=(const TableSpool&) = delete;

    // False when a block cannot be kept.
    bool append(const unsigned char* block);
    std::uint64_t blocks() const { return blocks_; }

    // Reads the blocks back from the first; false when the next cannot be
    // read (or there is none).
    bool rewind();
    bool next(unsigned char* block);

private:
    std::string directory_;
    std::vector<HeaderBlock> held_;
    std::FILE* overflow_ = nullptr;
    std::uint64_t blocks_ = 0;
    std::uint64_t readIndex_ = 0;
};

}  // namespace kotar
