// StreamDecoder: turns the bytes of an InputSource into the bytes of the
// stream that kotar reads. One decoder per compression, each in its own
// file; chooseDecoder() picks one by the magic number at the input's start:
//
//   1f 8b              gzip (ISA-L inflate)      gzip_decoder.cpp
//   28 b5 2f fd        zstd                      zstd_decoder.cpp
//   5? 2a 4d 18        a skippable frame: zstd, or lz4 when an lz4 frame
//                      follows the skippable ones
//   fd 37 7a 58 5a 00  xz                        xz_decoder.cpp
//   "BZh" '1'..'9',    bzip2                     bzip2_decoder.cpp
//     then 31 41 59 26 53 59 or 17 72 45 38 50 90 (as far as the input goes)
//   04 22 4d 18        lz4 (frame format)        lz4_decoder.cpp
//   anything else      plain, passed through     plain_decoder.cpp
//
// Members (gzip), frames (zstd, lz4) and streams (xz, bzip2) that follow each other are
// one stream. Bytes after the last one that do not begin another are
// ignored. Damage (corrupt data, a failed check, a member cut short, an
// unsupported method, a read error) ends the stream as `damaged`, after
// every byte decoded before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "decode/input_source.h"

namespace kotar {

enum class DecodeState {
    more,     // the stream may go on
    end,      // the stream ended cleanly after these bytes
    damaged,  // these bytes are sound; the stream is damaged right after them
};

// The room that every caller gives decode(): a decoder may find damage only
// after the bytes of a call (zstd checks a frame that fits in one call whole
// before it delivers any of it), so with the same room the same bytes come
// out before damage, whichever thread decodes.
inline constexpr std::size_t kDecodeRoom = 128 * 1024;

struct Decoded {
    std::size_t length = 0;
    DecodeState state = DecodeState::more;
};

// Decoded bytes that a decoder also keeps in a file of its own, where the
// caller may read them again rather than keep a copy of them: stream
// offsets [from, to) lie at offsets [0, to - from) of `descriptor`, which
// stays open as long as the decoder (a duplicate of it, for longer).
struct DecodedInFile {
    int descriptor = -1;
    std::uint64_t from = 0;
    std::uint64_t to = 0;
};

class StreamDecoder {
public:
    virtual ~StreamDecoder() = default;

    // Decodes up to `capacity` (> 0) bytes into `out`. With `more`, at least
    // one byte came out. After `end` or `damaged`, calls deliver nothing.
    virtual Decoded decode(unsigned char* out, std::size_t capacity) = 0;

    // Plain input: its bytes are the stream's.
    virtual bool passesThrough() const { return false; }

    // From any thread: the decoded bytes delivered so far that stand in a
    // file of the decoder's (gzip_split.h), if any.
    virtual DecodedInFile decodedInFile() const { return {}; }
    // From any thread, before the bytes are delivered: the caller reads
    // such bytes again through decodedInFile(). Without it, the decoder
    // lets them go once delivered, and decodedInFile() shows none.
    virtual void keepDecodedFile() {}

    // The decoder runs on a decoding thread (decoding_thread.h) from now on,
    // and may take one more for parts of a large input (gzip_split.h),
    // with its files in `workDirectory` (else in $TMPDIR or /tmp).
    virtual void mayUseAnotherThread(const std::string& workDirectory) { static_cast<void>(workDirectory); }

    // A decoder that holds decoded bytes of its own (the decoding thread)
    // lends them instead of copying them: up to `most` (> 0) bytes at
    // `bytes`, valid until the next call on the decoder, with the same
    // states as decode(). The others lend nothing.
    virtual bool lends() const { return false; }
    virtual Decoded lend(const unsigned char*& bytes, std::size_t most) {
        bytes = nullptr;
        static_cast<void>(most);
        return {0, DecodeState::damaged};
    }
};

enum class Compression { none, gzip, zstd, xz, bzip2, lz4 };

// The bytes a magic number takes at most.
inline constexpr std::size_t kLongestMagic = 10;

// The compression whose magic number `bytes` begin with: `none` for a plain
// stream, and for fewer bytes than a magic number takes.
Compression compressionOf(const unsigned char* bytes, std::size_t count);

// Reads the magic number from `source` (which must outlive the decoder) and
// returns the decoder for it; null when the decoder's library cannot start.
std::unique_ptr<StreamDecoder> chooseDecoder(InputSource& source);

// The decoders, one file each; chooseDecoder() calls them.
std::unique_ptr<StreamDecoder> makePlainDecoder(InputSource& source);
std::unique_ptr<StreamDecoder> makeGzipDecoder(InputSource& source);
std::unique_ptr<StreamDecoder> makeZstdDecoder(InputSource& source);
std::unique_ptr<StreamDecoder> makeXzDecoder(InputSource& source);
std::unique_ptr<StreamDecoder> makeBzip2Decoder(InputSource& source);
std::unique_ptr<StreamDecoder> makeLz4Decoder(InputSource& source);

}  // namespace kotar
