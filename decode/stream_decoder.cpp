#include "decode/stream_decoder.h"

#include <algorithm>
#include <cstring>

#include "format/byte_order.h"

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

bool isSkippableFrame(const unsigned char* bytes, std::size_t count) {
    return count >= 4 && (bytes[0] & 0xF0) == 0x50 && std::memcmp(bytes + 1, "\x2a\x4d\x18", 3) == 0;
}

// Where the first frame that is not a skippable one begins, after the
// skippable frames at `bytes`; at `count` or beyond when the bytes do not
// reach it.
std::size_t afterSkippableFrames(const unsigned char* bytes, std::size_t count) {
    std::size_t at = 0;
    while (at < count && isSkippableFrame(bytes + at, count - at)) {
        at += count - at < 8 ? 8 : 8 + std::size_t{readLe32(bytes + at + 4)};
    }
    return at;
}

// Passes over the skippable frames at the source's start, however long:
// they hold no data, and the zstd and lz4 decoders pass over them alike.
// Stops where the input ends or fails.
void passSkippableFrames(InputSource& source) {
    while (source.ensure(8) == InputSource::Fill::more && isSkippableFrame(source.data(), source.size())) {
        std::uint64_t left = 8 + std::uint64_t{readLe32(source.data() + 4)};
        while (left > 0) {
            if (source.size() == 0 && source.fill() != InputSource::Fill::more) return;
            const std::size_t passed = static_cast<std::size_t>(std::min<std::uint64_t>(left, source.size()));
            source.consume(passed);
            left -= passed;
        }
    }
}

}  // namespace

Compression compressionOf(const unsigned char* bytes, std::size_t count) {
    if (startsWith(bytes, count, "\x1f\x8b", 2)) return Compression::gzip;
    if (startsWith(bytes, count, "\x28\xb5\x2f\xfd", 4)) return Compression::zstd;
    // A skippable frame (magic 0x184D2A50 to 0x184D2A5F, little endian),
    // which a zstd or an lz4 stream may begin with: the frame after such
    // frames tells which, zstd when the bytes do not reach it.
    if (isSkippableFrame(bytes, count)) {
        const std::size_t next = afterSkippableFrames(bytes, count);
        const bool lz4 = next < count && startsWith(bytes + next, count - next, "\x04\x22\x4d\x18", 4);
        return lz4 ? Compression::lz4 : Compression::zstd;
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
    // Skippable frames are looked past, as far as the buffer holds them, to
    // the magic number after them.
    InputSource::Fill filled = InputSource::Fill::more;
    for (;;) {
        const std::size_t next = afterSkippableFrames(source.data(), source.size());
        if (next == 0 || next + 4 <= source.size()) break;
        filled = source.ensure(next + 4);
        if (filled != InputSource::Fill::more) break;
    }
    // Frames longer than the buffer holds (or a read that failed) are passed
    // over here, so that an lz4 frame after them is still found; zstd
    // otherwise, as for frames that the input ends in.
    if (filled == InputSource::Fill::failed) {
        passSkippableFrames(source);
        source.ensure(kLongestMagic);
        const bool lz4 = compressionOf(source.data(), source.size()) == Compression::lz4;
        return lz4 ? makeLz4Decoder(source) : makeZstdDecoder(source);
    }
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
