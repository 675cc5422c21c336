// ByteSource: bytes read by position. The executable analysis reads a
// member's image through it, from wherever the bytes lie: the input file
// itself, or the copy that creation keeps of a stream it cannot read twice.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kotar {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to `count` bytes from `offset`; returns how many were read.
    // Fewer than asked means the end of the bytes, or a read error.
    virtual std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t count) const = 0;
};

// The bytes of an open file, by file offset.
class FileByteSource final : public ByteSource {
public:
    explicit FileByteSource(int descriptor) : descriptor_(descriptor) {}
    std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t count) const override;

private:
    int descriptor_;
};

}  // namespace kotar
