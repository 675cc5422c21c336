// The decoders of a deflate stream taken up in its middle, as the second
// part of a gzip member decoded in two parts meets it: the search for a
// block start, inflating with marks for the unknown window, and resolving
// the marks with a window of the length the option byte gives.
//
// Input: the option byte (its low three bits: the bit to start at when no
// block start is found; the rest: the window's length in KiB, up to 32),
// then the deflate bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "decode/deflate_bits.h"
#include "decode/deflate_block_finder.h"
#include "decode/marked_inflate.h"
#include "fuzz/fuzz_support.h"

using namespace kotar;

namespace {

// What the marked decoder may read past its input, as the caller gives it.
constexpr std::size_t kSlack = 64;
constexpr std::size_t kMostMarks = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceAndLimit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::FuzzCase input = fuzz::splitInput(data, size);
    std::vector<unsigned char> bytes(input.size + kSlack, 0);
    if (input.size > 0) std::memcpy(bytes.data(), input.payload, input.size);
    const std::uint64_t start =
        findDynamicBlock(bytes.data(), input.size, 0, std::uint64_t{input.size} * 8).value_or(input.options & 7u);

    DeflateBits bits(bytes.data(), input.size, start);
    // Not cleared between runs: the decoder writes every symbol it counts.
    static const std::unique_ptr<std::uint16_t[]> marks(new std::uint16_t[kMostMarks]);
    std::size_t count = 0;
    inflateMarked(bits, bits.sizeInBits(), kMostMarks, marks.get(), kMostMarks, count);

    const std::size_t windowSize = std::min<std::size_t>(kDeflateWindow, (input.options >> 3) * std::size_t{1024});
    const std::vector<unsigned char> window(windowSize, 'w');
    std::vector<unsigned char> out(count);
    resolveMarks(marks.get(), count, window.data(), windowSize, out.data());
    return 0;
}
