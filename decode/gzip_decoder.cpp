// The gzip decoder, on ISA-L's inflate. Each member is read in two steps:
//
//   header   isal_read_gzip_header, fed as input arrives, with one header
//            record for the whole member (ISA-L 2.30 resumes a header split
//            across inputs from the record's `flags`, so it starts at 0)
//   body     isal_inflate with ISAL_GZIP_NO_HDR_VER: the deflate data, then
//            the trailer (CRC-32, length mod 2^32), checked by ISA-L
//
// After a member's trailer another member follows only when the next bytes
// are 1f 8b; anything else ends the stream cleanly.
#include <algorithm>
#include <cstdint>

#include <isa-l/igzip_lib.h>

#include "decode/stream_decoder.h"

namespace kotar {

namespace {

// ISA-L counts its buffers in 32 bits.
constexpr std::size_t kLargestOutput = std::size_t{1} << 30;

class GzipDecoder final : public StreamDecoder {
public:
    explicit GzipDecoder(InputSource& source)
        : source_(source), inflate_(std::make_unique<inflate_state>()) {
        isal_inflate_init(inflate_.get());
        startMember();
    }

    Decoded decode(unsigned char* out, std::size_t capacity) override {
        std::size_t produced = 0;
        capacity = std::min(capacity, kLargestOutput);
        while (produced == 0 && step_ != Step::finished) {
            switch (step_) {
                case Step::header: readHeader(); break;
                case Step::body: produced = inflate(out, capacity); break;
                case Step::between: nextMember(); break;
                case Step::finished: break;
            }
        }
        return {produced, produced > 0 ? DecodeState::more : state_};
    }

private:
    enum class Step { header, body, between, finished };

    void startMember() {
        isal_inflate_reset(inflate_.get());
        isal_gzip_header_init(&header_);
        header_.flags = 0;
        step_ = Step::header;
    }

    void finish(DecodeState state) {
        state_ = state;
        step_ = Step::finished;
    }

    // Needs more input: false (the stream is finished as damaged) when the
    // input ended or failed, since a member is never complete at that point.
    bool needInput() {
        if (source_.fill() == InputSource::Fill::more) return true;
        finish(DecodeState::damaged);
        return false;
    }

    void readHeader() {
        inflate_state& s = *inflate_;
        s.next_in = const_cast<std::uint8_t*>(source_.data());
        s.avail_in = static_cast<std::uint32_t>(source_.size());
        // No buffers for the name, comment and extra field: they are skipped.
        const int result = isal_read_gzip_header(&s, &header_);
        source_.consume(source_.size() - s.avail_in);
        if (result == ISAL_DECOMP_OK) {
            s.crc_flag = ISAL_GZIP_NO_HDR_VER;
            step_ = Step::body;
        } else if (result == ISAL_END_INPUT) {
            needInput();
        } else {
            finish(DecodeState::damaged);
        }
    }

    std::size_t inflate(unsigned char* out, std::size_t capacity) {
        inflate_state& s = *inflate_;
        s.next_in = const_cast<std::uint8_t*>(source_.data());
        s.avail_in = static_cast<std::uint32_t>(source_.size());
        s.next_out = out;
        s.avail_out = static_cast<std::uint32_t>(capacity);
        const int result = isal_inflate(&s);
        const std::size_t consumed = source_.size() - s.avail_in;
        const std::size_t produced = capacity - s.avail_out;
        source_.consume(consumed);
        if (result < 0) {
            // Corrupt data or a failed trailer check. The bytes of this call
            // came before the damage was found, so they are delivered first.
            finish(DecodeState::damaged);
        } else if (s.block_state == ISAL_BLOCK_FINISH) {
            step_ = Step::between;
        } else if (produced == 0 && consumed == 0) {
            needInput();  // at the end of the input: cut short
        }
        return produced;
    }

    void nextMember() {
        const InputSource::Fill filled = source_.ensure(2);
        const unsigned char* next = source_.data();
        if (filled == InputSource::Fill::more && next[0] == 0x1f && next[1] == 0x8b) {
            startMember();
        } else if (filled == InputSource::Fill::failed) {
            finish(DecodeState::damaged);
        } else {
            finish(DecodeState::end);  // the end, or trailing bytes that are ignored
        }
    }

    InputSource& source_;
    std::unique_ptr<inflate_state> inflate_;  // about 85 KiB
    isal_gzip_header header_{};
    Step step_ = Step::header;
    DecodeState state_ = DecodeState::more;
};

}  // namespace

std::unique_ptr<StreamDecoder> makeGzipDecoder(InputSource& source) {
    return std::make_unique<GzipDecoder>(source);
}

}  // namespace kotar
