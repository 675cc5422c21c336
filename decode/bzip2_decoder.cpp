// The bzip2 decoder, on libbz2's BZ2_bzDecompress, one bzip2 stream at a
// time. A stream is complete when the call returns BZ_STREAM_END (every
// block's CRC and the stream's combined CRC checked). Another stream follows
// when the next bytes are the magic number "BZh" and a block size digit, as
// `bzip2 -c a b` or pbzip2 write; anything else ends the stream cleanly.
#include <bzlib.h>

#include <algorithm>
#include <climits>

#include "decode/stream_decoder.h"

namespace kotar {

namespace {

bool startsStream(const unsigned char* bytes) {
    return bytes[0] == 'B' && bytes[1] == 'Z' && bytes[2] == 'h' && bytes[3] >= '1' && bytes[3] <= '9';
}

class Bzip2Decoder final : public StreamDecoder {
public:
    explicit Bzip2Decoder(InputSource& source) : source_(source) {}
    ~Bzip2Decoder() override { endStream(); }
    Bzip2Decoder(const Bzip2Decoder&) = delete;
    Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;

    Decoded decode(unsigned char* out, std::size_t capacity) override {
        std::size_t produced = 0;
        while (produced == 0 && state_ == DecodeState::more) {
            if (!inStream_) {
                nextStream();
            } else {
                produced = decodeStream(out, capacity);
            }
        }
        return {produced, produced > 0 ? DecodeState::more : state_};
    }

private:
    void endStream() {
        if (inStream_) BZ2_bzDecompressEnd(&stream_);
        inStream_ = false;
    }

    std::size_t decodeStream(unsigned char* out, std::size_t capacity) {
        // The library counts in unsigned int.
        const auto inLength = static_cast<unsigned>(std::min<std::size_t>(source_.size(), UINT_MAX));
        stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(source_.data()));
        stream_.avail_in = inLength;
        stream_.next_out = reinterpret_cast<char*>(out);
        stream_.avail_out = static_cast<unsigned>(std::min<std::size_t>(capacity, UINT_MAX));
        const unsigned outLength = stream_.avail_out;
        const int result = BZ2_bzDecompress(&stream_);
        const std::size_t consumed = inLength - stream_.avail_in;
        const std::size_t produced = outLength - stream_.avail_out;
        source_.consume(consumed);
        if (result == BZ_STREAM_END) {
            endStream();
        } else if (result != BZ_OK) {
            state_ = DecodeState::damaged;  // after the bytes of this call
        } else if (produced == 0 && consumed == 0 && source_.fill() != InputSource::Fill::more) {
            state_ = DecodeState::damaged;  // a stream cut short
        }
        return produced;
    }

    void nextStream() {
        const InputSource::Fill filled = source_.ensure(4);
        if (filled == InputSource::Fill::failed) {
            state_ = DecodeState::damaged;
        } else if (filled == InputSource::Fill::more && startsStream(source_.data())) {
            stream_ = bz_stream{};
            if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) {
                state_ = DecodeState::damaged;
                return;
            }
            inStream_ = true;
        } else {
            state_ = DecodeState::end;  // the end, or trailing bytes that are ignored
        }
    }

    InputSource& source_;
    bz_stream stream_{};
    bool inStream_ = false;
    DecodeState state_ = DecodeState::more;
};

}  // namespace

std::unique_ptr<StreamDecoder> makeBzip2Decoder(InputSource& source) {
    return std::make_unique<Bzip2Decoder>(source);
}

}  // namespace kotar
