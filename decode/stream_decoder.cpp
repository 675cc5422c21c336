#include "decode/stream_decoder.h"

#include <algorithm>
#include <cstring>

namespace kotar {

namespace {

bool startsWith(const unsigned char* bytes, std::size_t count, const char* magic, std::size_t length) {
    return count >= length && std::memcmp(bytes, magic, length) == 0;
}

// "BZh" and a digit are text, which a plain tar may begin with (a member's
// name): the magic number of the first block, or of the end of an empty
// stream, follows them in bzip2 (as much of it as there is, in a stream cut
// short).
bool startsBzip2Block(const unsigned char* bytes, std::size_t count) {
    const std::size_t length = std::min<std::size_t>(count, 6);
    return std::memcmp(bytes, "\x31\x41\x59\x26\x53\x59", length) == 0 ||
           std::memcmp(bytes, "\x17\x72\x45\x38\x50\x90", length) == 0;
}

}  // namespace

Compression compressionOf(const unsigned char* bytes, std::size_t count) {
    if (startsWith(bytes, count, "\x1f\x8b", 2)) return Compression::gzip;
    if (startsWith(bytes, count, "\x28\xb5\x2f\xfd", 4)) return Compression::zstd;
    // A skippable frame (magic 0x184D2A50 to 0x184D2A5F, little endian),
    // which a zstd stream may begin with.
    if (count >= 4 && (bytes[0] & 0xF0) == 0x50 && std::memcmp(bytes + 1, "\x2a\x4d\x18", 3) == 0) {
        return Compression::zstd;
    }
    if (startsWith(bytes, count, "\xfd\x37\x7a\x58\x5a\x00", 6)) return Compression::xz;
    if (startsWith(bytes, count, "BZh", 3) && count >= 4 && bytes[3] >= '1' && bytes[3] <= '9' &&
        startsBzip2Block(bytes + 4, count - 4)) {
        return Compression::bzip2;
    }
    if (startsWith(bytes, count, "\x04\x22\x4d\x18", 4)) return Compression::lz4;
    return Compression::none;
}

std::unique_ptr<StreamDecoder> chooseDecoder(InputSource& source) {
    // Fewer bytes than the longest magic number (a short input, or a read
    // error) leave the choice to the bytes that are there.
    source.ensure(kLongestMagic);
    switch (compressionOf(source.data(), source.size())) {
        case Compression::gzip: return makeGzipDecoder(source);
        case Compression::zstd: return makeZstdDecoder(source);
        case Compression::xz: return makeXzDecoder(source);
        case Compression::bzip2: return makeBzip2Decoder(source);
        case Compression::lz4: return makeLz4Decoder(source);
        case Compression::none: break;
    }
    return makePlainDecoder(source);
}

}  // namespace kotar
