// The xz decoder, on liblzma, one xz stream at a time. A stream is complete
// when lzma_code returns LZMA_STREAM_END (its index and footer read, every
// block's check verified). Stream padding may follow: NUL bytes in fours, as
// xz itself requires (a run of any other length is damage); then another
// stream when the next bytes are the xz magic number, and anything else ends
// the stream cleanly.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include <lzma.h>

#include "decode/decoding_thread.h"
#include "decode/stream_decoder.h"
#include "decode/xz_block_threads.h"

namespace kotar {

namespace {

// More than any preset needs (xz -9 decodes in about 65 MiB); a stream that
// asks for more is refused as damaged rather than allowed to take the memory.
constexpr std::uint64_t kMemoryLimit = std::uint64_t{1} << 30;
// Blocks decoded at once need their input and output held whole: past this
// much, liblzma decodes one block at a time instead. Two blocks of xz -6 -T2
// (24 MiB each, 8 MiB dictionaries) would take about 97 MiB; this keeps the
// whole process within 64 MiB, so those are decoded one at a time, and
// smaller blocks (lower presets, --block-size) two at a time.
constexpr std::uint64_t kThreadingMemory = 48 * 1024 * 1024;
constexpr int kMostThreads = 2;
constexpr unsigned char kMagic[6] = {0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00};
constexpr std::uint64_t kPaddingUnit = 4;

class XzDecoder final : public StreamDecoder {
public:
    XzDecoder(InputSource& source, std::uint32_t threads) : source_(source), threads_(threads) {
        if (threads > 1) blocks_ = std::make_unique<XzBlockThreads>(source, threads);
    }
    ~XzDecoder() override { lzma_end(&stream_); }
    XzDecoder(const XzDecoder&) = delete;
    XzDecoder& operator=(const XzDecoder&) = delete;

    bool startStream() {
        inputEnded_ = false;
        // Blocks that record their sizes (xz -T, pixz) are decoded on
        // several threads at once, their output going through a ring file.
        inBlocks_ = blocks_ != nullptr && blocks_->startStream();
        if (inBlocks_) return true;
        if (threads_ <= 1) return lzma_stream_decoder(&stream_, kMemoryLimit, 0) == LZMA_OK;
        // Where that cannot be (a file size limit, no temporary file, large
        // dictionaries), liblzma's threaded decoder takes such blocks within
        // the memory bound, and the others as the single-threaded decoder
        // does. Without LZMA_FAIL_FAST every byte before damage still comes
        // out first.
        lzma_mt options{};
        options.threads = threads_;
        options.memlimit_threading = kThreadingMemory;
        options.memlimit_stop = kMemoryLimit;
        return lzma_stream_decoder_mt(&stream_, &options) == LZMA_OK;
    }

    Decoded decode(unsigned char* out, std::size_t capacity) override {
        std::size_t produced = 0;
        while (produced == 0 && state_ == DecodeState::more) {
            if (betweenStreams_) {
                nextStream();
            } else if (inBlocks_) {
                produced = decodeBlocks(out, capacity);
            } else {
                produced = decodeStream(out, capacity);
            }
        }
        return {produced, produced > 0 ? DecodeState::more : state_};
    }

private:
    std::size_t decodeStream(unsigned char* out, std::size_t capacity) {
        stream_.next_in = source_.data();
        stream_.avail_in = source_.size();
        stream_.next_out = out;
        stream_.avail_out = capacity;
        // At the end of the input, LZMA_FINISH makes a stream cut short an
        // error instead of a wait for more.
        const lzma_ret result = lzma_code(&stream_, inputEnded_ ? LZMA_FINISH : LZMA_RUN);
        const std::size_t consumed = source_.size() - stream_.avail_in;
        const std::size_t produced = capacity - stream_.avail_out;
        source_.consume(consumed);
        if (result == LZMA_STREAM_END) {
            betweenStreams_ = true;
        } else if (result != LZMA_OK || (produced == 0 && consumed == 0 && inputEnded_)) {
            state_ = DecodeState::damaged;  // after the bytes of this call
        } else if (produced == 0 && consumed == 0) {
            const InputSource::Fill filled = source_.fill();
            if (filled == InputSource::Fill::failed) state_ = DecodeState::damaged;
            inputEnded_ = filled == InputSource::Fill::end;
        }
        return produced;
    }

    std::size_t decodeBlocks(unsigned char* out, std::size_t capacity) {
        const Decoded decoded = blocks_->decode(out, capacity);
        if (decoded.state == DecodeState::end) betweenStreams_ = true;
        if (decoded.state == DecodeState::damaged) state_ = DecodeState::damaged;
        return decoded.length;
    }

    // Goes by the NUL bytes after a stream; false when they are not a
    // multiple of four or cannot be read.
    bool skipPadding() {
        std::uint64_t padding = 0;
        InputSource::Fill filled;
        while ((filled = source_.ensure(1)) == InputSource::Fill::more) {
            const std::size_t available = source_.size();
            const unsigned char* bytes = source_.data();
            std::size_t zeros = 0;
            while (zeros < available && bytes[zeros] == 0) ++zeros;
            source_.consume(zeros);
            padding += zeros;
            if (zeros < available) break;
        }
        return filled != InputSource::Fill::failed && padding % kPaddingUnit == 0;
    }

    void nextStream() {
        if (!skipPadding()) {
            state_ = DecodeState::damaged;
            return;
        }
        const InputSource::Fill filled = source_.ensure(sizeof kMagic);
        if (filled == InputSource::Fill::failed) {
            state_ = DecodeState::damaged;
        } else if (filled == InputSource::Fill::more && std::memcmp(source_.data(), kMagic, sizeof kMagic) == 0) {
            betweenStreams_ = false;
            if (!startStream()) state_ = DecodeState::damaged;
        } else {
            state_ = DecodeState::end;  // the end, or trailing bytes that are ignored
        }
    }

    InputSource& source_;
    const std::uint32_t threads_;
    std::unique_ptr<XzBlockThreads> blocks_;  // with more than one thread
    bool inBlocks_ = false;                  // the stream is theirs
    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool inputEnded_ = false;
    bool betweenStreams_ = true;
    DecodeState state_ = DecodeState::more;
};

}  // namespace

std::unique_ptr<StreamDecoder> makeXzDecoder(InputSource& source) {
    // The CPUs there are, when a decoding thread is wanted at all.
    const auto threads = static_cast<std::uint32_t>(decodingThreadWanted() ? std::min(usableCpus(), kMostThreads) : 1);
    return std::make_unique<XzDecoder>(source, threads);
}

}  // namespace kotar
