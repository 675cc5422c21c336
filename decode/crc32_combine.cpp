#include "decode/crc32_combine.h"

#include <array>

namespace kotar {

namespace {

// The CRC's polynomial, bits reversed: the bit for x^0 is the highest.
constexpr std::uint32_t kPolynomial = 0xedb88320;
constexpr std::uint32_t kOne = 0x80000000;  // x^0

// a * b modulo the polynomial.
constexpr std::uint32_t multiply(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t bit = kOne; bit != 0; bit >>= 1) {
        if ((a & bit) != 0) product ^= b;
        b = (b & 1) != 0 ? (b >> 1) ^ kPolynomial : b >> 1;
    }
    return product;
}

// x^(2^k) modulo the polynomial, for k = 0..63.
constexpr std::array<std::uint32_t, 64> kSquares = [] {
    std::array<std::uint32_t, 64> squares{};
    squares[0] = kOne >> 1;  // x^1
    for (std::size_t k = 1; k < squares.size(); ++k) squares[k] = multiply(squares[k - 1], squares[k - 1]);
    return squares;
}();

}  // namespace

std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength) {
    // Appending n bytes multiplies A's remainder by x^(8n): the powers
    // x^(2^k) for the bits of 8n, multiplied together.
    std::uint32_t shift = kOne;
    for (std::size_t k = 3; secondLength != 0 && k < kSquares.size(); ++k, secondLength >>= 1) {
        if ((secondLength & 1) != 0) shift = multiply(kSquares[k], shift);
    }
    return multiply(shift, first) ^ second;
}

}  // namespace kotar
