// The zstd decoder, on ZSTD_decompressStream. A frame is complete when the
// call returns 0 (all of it decoded and flushed, its checksum checked when
// it has one). Another frame follows when the next four bytes are a zstd or
// a skippable frame's magic number; anything else ends the stream cleanly.
#include <zstd.h>

#include "format/byte_order.h"
#include "decode/stream_decoder.h"

namespace kotar {

namespace {

class ZstdDecoder final : public StreamDecoder {
public:
    explicit ZstdDecoder(InputSource& source) : source_(source), context_(ZSTD_createDCtx()) {}

    bool started() const { return context_ != nullptr; }

    Decoded decode(unsigned char* out, std::size_t capacity) override {
        std::size_t produced = 0;
        while (produced == 0 && state_ == DecodeState::more) {
            if (betweenFrames_) {
                nextFrame();
            } else {
                produced = decodeFrame(out, capacity);
            }
        }
        return {produced, produced > 0 ? DecodeState::more : state_};
    }

private:
    struct ContextFree {
        void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
    };

    std::size_t decodeFrame(unsigned char* out, std::size_t capacity) {
        ZSTD_inBuffer in{source_.data(), source_.size(), 0};
        ZSTD_outBuffer output{out, capacity, 0};
        const std::size_t result = ZSTD_decompressStream(context_.get(), &output, &in);
        source_.consume(in.pos);
        if (ZSTD_isError(result)) {
            state_ = DecodeState::damaged;  // after the bytes of this call
        } else if (result == 0) {
            betweenFrames_ = true;
        } else if (output.pos == 0 && in.pos == 0 && source_.fill() != InputSource::Fill::more) {
            state_ = DecodeState::damaged;  // a frame cut short
        }
        return output.pos;
    }

    void nextFrame() {
        const InputSource::Fill filled = source_.ensure(4);
        if (filled == InputSource::Fill::failed) {
            state_ = DecodeState::damaged;
            return;
        }
        const std::uint32_t magic = filled == InputSource::Fill::more ? readLe32(source_.data()) : 0;
        if (magic == ZSTD_MAGICNUMBER || (magic & ZSTD_MAGIC_SKIPPABLE_MASK) == ZSTD_MAGIC_SKIPPABLE_START) {
            betweenFrames_ = false;
        } else {
            state_ = DecodeState::end;  // the end, or trailing bytes that are ignored
        }
    }

    InputSource& source_;
    std::unique_ptr<ZSTD_DCtx, ContextFree> context_;
    bool betweenFrames_ = true;
    DecodeState state_ = DecodeState::more;
};

}  // namespace

std::unique_ptr<StreamDecoder> makeZstdDecoder(InputSource& source) {
    auto decoder = std::make_unique<ZstdDecoder>(source);
    if (!decoder->started()) return nullptr;
    return decoder;
}

}  // namespace kotar
