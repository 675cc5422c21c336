#include "decode/stream_decoder.h"

#include <cstring>

namespace kotar {

namespace {

bool startsWith(const InputSource& source, const char* magic, std::size_t length) {
    return source.size() >= length && std::memcmp(source.data(), magic, length) == 0;
}

// A zstd frame, or a skippable frame (magic 0x184D2A50 to 0x184D2A5F, little
// endian), which a zstd stream may begin with.
bool startsWithZstd(const InputSource& source) {
    if (startsWith(source, "\x28\xb5\x2f\xfd", 4)) return true;
    return source.size() >= 4 && (source.data()[0] & 0xF0) == 0x50 &&
           std::memcmp(source.data() + 1, "\x2a\x4d\x18", 3) == 0;
}

}  // namespace

std::unique_ptr<StreamDecoder> chooseDecoder(InputSource& source) {
    // Fewer bytes than the longest magic number (a short input, or a read
    // error) leave the choice to the bytes that are there.
    source.ensure(6);
    if (startsWith(source, "\x1f\x8b", 2)) return makeGzipDecoder(source);
    if (startsWithZstd(source)) return makeZstdDecoder(source);
    if (startsWith(source, "\xfd\x37\x7a\x58\x5a\x00", 6)) return makeXzDecoder(source);
    if (startsWith(source, "BZh", 3) && source.size() >= 4 && source.data()[3] >= '1' && source.data()[3] <= '9') {
        return makeBzip2Decoder(source);
    }
    if (startsWith(source, "\x04\x22\x4d\x18", 4)) return makeLz4Decoder(source);
    return makePlainDecoder(source);
}

}  // namespace kotar
