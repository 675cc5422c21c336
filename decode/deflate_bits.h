// DeflateBits: the bits of a deflate stream held in memory, read least
// significant bit first as deflate packs them, from any bit position. Bits
// past the end read as zeros and leave the reader overrun(), which a caller
// checks before it trusts what it decoded.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kotar {

static_assert(std::endian::native == std::endian::little, "DeflateBits reads words as little-endian");

class DeflateBits {
public:
    DeflateBits(const unsigned char* bytes, std::size_t size, std::uint64_t position = 0)
        : bytes_(bytes), size_(size), position_(position) {}

    std::uint64_t position() const { return position_; }
    void seek(std::uint64_t position) { position_ = position; }
    bool overrun() const { return position_ > std::uint64_t{size_} * 8; }
    std::uint64_t sizeInBits() const { return std::uint64_t{size_} * 8; }

    // The next 56 bits or more, without consuming them.
    std::uint64_t peek() const {
        const std::uint64_t byte = position_ / 8;
        std::uint64_t word = 0;
        if (byte + 8 <= size_) {
            std::memcpy(&word, bytes_ + byte, 8);
        } else {
            for (std::uint64_t i = 0; i < 8 && byte + i < size_; ++i) word |= std::uint64_t{bytes_[byte + i]} << (8 * i);
        }
        return word >> (position_ % 8);
    }

    void skip(unsigned count) { position_ += count; }

    // The next `count` (at most 56) bits as a number, consumed.
    std::uint32_t take(unsigned count) {
        const auto value = static_cast<std::uint32_t>(peek() & ((std::uint64_t{1} << count) - 1));
        position_ += count;
        return value;
    }

    // To the next byte boundary, as a stored block's length starts there.
    void alignToByte() { position_ = (position_ + 7) / 8 * 8; }

    const unsigned char* bytes() const { return bytes_; }

private:
    const unsigned char* bytes_;
    std::size_t size_;
    std::uint64_t position_;
};

}  // namespace kotar
