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
//
// On a decoding thread, the first member of a large regular file is decoded
// in two halves at once (gzip_split.h): the body stops where the second
// half starts, and from there `handover` delivers what the other thread
// decoded.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include <isa-l/igzip_lib.h>

#include "decode/gzip_split.h"
#include "decode/stream_decoder.h"
#include "files/file_descriptor.h"

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
                case Step::handover: produced = handOver(out, capacity); break;
                case Step::between: nextMember(); break;
                case Step::finished: break;
            }
        }
        streamOut_ += produced;
        return {produced, produced > 0 ? DecodeState::more : state_};
    }

    DecodedInFile decodedInFile() const override {
        const std::lock_guard lock(inFileMutex_);
        return inFile_;
    }

    void keepDecodedFile() override { keepAsked_ = true; }

    void mayUseAnotherThread(const std::string& workDirectory) override {
        splitWanted_ = true;
        workDirectory_ = workDirectory;
    }

private:
    enum class Step { header, body, handover, between, finished };

    void startMember() {
        isal_inflate_reset(inflate_.get());
        isal_gzip_header_init(&header_);
        header_.flags = 0;
        step_ = Step::header;
    }

    void finish(DecodeState state) {
        state_ = state;
        step_ = Step::finished;
        split_.reset();
    }

    void consume(std::size_t count) {
        source_.consume(count);
        consumed_ += static_cast<std::int64_t>(count);
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
        consume(source_.size() - s.avail_in);
        if (result == ISAL_DECOMP_OK) {
            s.crc_flag = ISAL_GZIP_NO_HDR_VER;
            step_ = Step::body;
            if (splitWanted_) split_ = GzipSplit::start(source_, consumed_, workDirectory_);
            splitWanted_ = false;  // the first member only
        } else if (result == ISAL_END_INPUT) {
            needInput();
        } else {
            finish(DecodeState::damaged);
        }
    }

    std::size_t inflate(unsigned char* out, std::size_t capacity) {
        inflate_state& s = *inflate_;
        std::size_t available = source_.size();
        if (split_ != nullptr) {
            const std::optional<std::size_t> room = split_->inputRoom(consumed_);
            if (room) available = std::min(available, *room);
            else split_.reset();
        }
        s.next_in = const_cast<std::uint8_t*>(source_.data());
        s.avail_in = static_cast<std::uint32_t>(available);
        s.next_out = out;
        s.avail_out = static_cast<std::uint32_t>(capacity);
        const int result = isal_inflate(&s);
        const std::size_t consumed = available - s.avail_in;
        const std::size_t produced = capacity - s.avail_out;
        consume(consumed);
        if (split_ != nullptr) split_->decoded(out, produced, consumed_);
        if (result < 0) {
            // Corrupt data or a failed trailer check. The bytes of this call
            // came before the damage was found, so they are delivered first.
            finish(DecodeState::damaged);
        } else if (s.block_state == ISAL_BLOCK_FINISH) {
            split_.reset();  // the member ended before the second half's start
            step_ = Step::between;
        } else if (split_ != nullptr && split_->atStart(consumed_)) {
            // At the second half's start, once ISA-L has given all it holds.
            if (s.avail_out > 0) takeOver();
        } else if (produced == 0 && consumed == 0) {
            needInput();  // at the end of the input: cut short
        }
        return produced;
    }

    // The second half takes over, or the split is dropped and the body goes
    // on from here as if there had been none.
    void takeOver() {
        const InputSource::Fill filled = source_.ensure(1);
        if (filled == InputSource::Fill::more && split_->takeOver(*inflate_, source_.data()[0])) {
            step_ = Step::handover;
            fileKept_ = keepAsked_;
            if (!fileKept_) split_->releaseDelivered();
        } else {
            split_.reset();
        }
    }

    std::size_t handOver(unsigned char* out, std::size_t capacity) {
        const GzipSplit::Delivery delivered = split_->deliver(out, capacity);
        using End = GzipSplit::Delivery::End;
        switch (delivered.end) {
            case End::none:
                if (delivered.fromFile && fileKept_) showInFile(delivered.length);
                return delivered.length;
            case End::member: goOnAt(split_->memberEnd(), Step::between); break;
            case End::damaged: finish(DecodeState::damaged); break;
            case End::goOnAlone: goOnAt(split_->resume(*inflate_), Step::body); break;
        }
        return 0;
    }

    // The bytes about to be delivered, at streamOut_, are the next of the
    // second part's file: the caller may read them from there again. The
    // file is held open here, as it goes with the split.
    void showInFile(std::size_t count) {
        const std::lock_guard lock(inFileMutex_);
        if (!keptFile_.valid()) {
            keptFile_ = FileDescriptor(::fcntl(split_->decodedFile(), F_DUPFD_CLOEXEC, kFirstOwnDescriptor));
            if (!keptFile_.valid()) return;
            inFile_ = {keptFile_.get(), streamOut_, streamOut_};
        }
        if (inFile_.to == streamOut_) inFile_.to += count;
    }

    // After the second part: the input goes on at `offset`, from `step`.
    void goOnAt(std::int64_t offset, Step step) {
        split_.reset();
        if (!source_.seekTo(offset)) return finish(DecodeState::damaged);
        consumed_ = offset;
        step_ = step;
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
    std::int64_t consumed_ = 0;  // input bytes taken, from the stream's start
    bool splitWanted_ = false;
    std::string workDirectory_;
    std::unique_ptr<GzipSplit> split_;
    std::uint64_t streamOut_ = 0;  // bytes delivered
    FileDescriptor keptFile_;       // the second part's file, for inFile_
    std::atomic<bool> keepAsked_ = false;  // by keepDecodedFile()
    bool fileKept_ = false;  // this split's file, from its handover on: else let go as delivered
    mutable std::mutex inFileMutex_;
    DecodedInFile inFile_;          // under inFileMutex_
};

}  // namespace

std::unique_ptr<StreamDecoder> makeGzipDecoder(InputSource& source) {
    return std::make_unique<GzipDecoder>(source);
}

}  // namespace kotar
