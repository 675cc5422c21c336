// The lz4 decoder, on the frame format of liblz4 (LZ4F_decompress). A frame
// is complete when the call returns 0 (its end mark read, its content
// checksum checked when it has one). Another frame follows when the next
// four bytes are an lz4 or a skippable frame's magic number, which the
// library skips by itself; anything else ends the stream cleanly. The
// legacy format of `lz4 -l` is not read.
#include <lz4frame.h>

#include "decode/stream_decoder.h"
#include "format/byte_order.h"

namespace kotar {

namespace {

constexpr std::uint32_t kFrameMagic = 0x184D2204;
constexpr std::uint32_t kSkippableMagic = 0x184D2A50;  // to 0x184D2A5F
constexpr std::uint32_t kSkippableMask = 0xFFFFFFF0;

class Lz4Decoder final : public StreamDecoder {
public:
    explicit Lz4Decoder(InputSource& source) : source_(source) {
        if (LZ4F_isError(LZ4F_createDecompressionContext(&context_, LZ4F_VERSION))) context_ = nullptr;
    }
    ~Lz4Decoder() override { LZ4F_freeDecompressionContext(context_); }
    Lz4Decoder(const Lz4Decoder&) = delete;
    Lz4Decoder& operator=(const Lz4Decoder&) = delete;

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
    std::size_t decodeFrame(unsigned char* out, std::size_t capacity) {
        std::size_t consumed = source_.size();
        std::size_t produced = capacity;
        const std::size_t result = LZ4F_decompress(context_, out, &produced, source_.data(), &consumed, nullptr);
        source_.consume(consumed);
        if (LZ4F_isError(result)) {
            state_ = DecodeState::damaged;  // after the bytes of this call
        } else if (result == 0) {
            betweenFrames_ = true;  // the context is ready for the next frame
        } else if (produced == 0 && consumed == 0 && source_.fill() != InputSource::Fill::more) {
            state_ = DecodeState::damaged;  // a frame cut short
        }
        return produced;
    }

    void nextFrame() {
        const InputSource::Fill filled = source_.ensure(4);
        if (filled == InputSource::Fill::failed) {
            state_ = DecodeState::damaged;
            return;
        }
        const std::uint32_t magic = filled == InputSource::Fill::more ? readLe32(source_.data()) : 0;
        if (magic == kFrameMagic || (magic & kSkippableMask) == kSkippableMagic) {
            betweenFrames_ = false;
        } else {
            state_ = DecodeState::end;  // the end, or trailing bytes that are ignored
        }
    }

    InputSource& source_;
    LZ4F_dctx* context_ = nullptr;
    bool betweenFrames_ = true;
    DecodeState state_ = DecodeState::more;
};

}  // namespace

std::unique_ptr<StreamDecoder> makeLz4Decoder(InputSource& source) {
    auto decoder = std::make_unique<Lz4Decoder>(source);
    if (!decoder->started()) return nullptr;
    return decoder;
}

}  // namespace kotar
