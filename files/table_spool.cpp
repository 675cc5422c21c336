#include "files/table_spool.h"

#include <cstring>
#include <unistd.h>

#include "files/anonymous_file.h"

namespace kotar {

namespace {

// 8 MiB of header table in memory: some 16000 members. Longer tables spill.
constexpr std::size_t kHeldBlocks = 16384;

}  // namespace

TableSpool::~TableSpool() {
    if (overflow_ != nullptr) std::fclose(overflow_);
}

bool TableSpool::append(const unsigned char* block) {
    if (held_.size() < kHeldBlocks) {
        HeaderBlock& held = held_.emplace_back();
        std::memcpy(held.data(), block, held.size());
    } else {
        if (overflow_ == nullptr) {
            const int descriptor = openAnonymousFile(directory_);
            if (descriptor < 0) return false;
            overflow_ = fdopen(descriptor, "w+");
            if (overflow_ == nullptr) {
                ::close(descriptor);
                return false;
            }
        }
        if (std::fwrite(block, 1, kBlockSize, overflow_) != kBlockSize) return false;
    }
    ++blocks_;
    return true;
}

bool TableSpool::rewind() {
    readIndex_ = 0;
    return overflow_ == nullptr || (std::fflush(overflow_) == 0 && std::fseek(overflow_, 0, SEEK_SET) == 0);
}

bool TableSpool::next(unsigned char* block) {
    if (readIndex_ >= blocks_) return false;
    const std::uint64_t index = readIndex_++;
    if (index < held_.size()) {
        std::memcpy(block, held_[index].data(), kBlockSize);
        return true;
    }
    return std::fread(block, 1, kBlockSize, overflow_) == kBlockSize;
}

}  // namespace kotar
