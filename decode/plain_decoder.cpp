// The decoder of uncompressed input: the input's bytes are the stream's.
#include <algorithm>
#include <cstring>

#include "decode/stream_decoder.h"

namespace kotar {

namespace {

class PlainDecoder final : public StreamDecoder {
public:
    explicit PlainDecoder(InputSource& source) : source_(source) {}

    Decoded decode(unsigned char* out, std::size_t capacity) override {
        if (state_ != DecodeState::more) return {0, state_};
        // Bytes already buffered (the magic-number test read some) first,
        // then straight from the descriptor without a copy.
        if (source_.size() > 0) {
            const std::size_t n = std::min(capacity, source_.size());
            std::memcpy(out, source_.data(), n);
            source_.consume(n);
            return {n, DecodeState::more};
        }
        const std::int64_t got = source_.readDirect(out, capacity);
        if (got > 0) return {static_cast<std::size_t>(got), DecodeState::more};
        state_ = got == 0 ? DecodeState::end : DecodeState::damaged;
        return {0, state_};
    }

    bool passesThrough() const override { return true; }

private:
    InputSource& source_;
    DecodeState state_ = DecodeState::more;
};

}  // namespace

std::unique_ptr<StreamDecoder> makePlainDecoder(InputSource& source) {
    return std::make_unique<PlainDecoder>(source);
}

}  // namespace kotar
