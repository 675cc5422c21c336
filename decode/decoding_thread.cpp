#include "decode/decoding_thread.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "decode/ring_handoff.h"

namespace kotar {

namespace {

// 32 slots of kDecodeRoom (128 KiB): 4 MiB decoded ahead at most. Each
// slot holds what one decode() call gave.
constexpr std::size_t kSlotCount = 32;
constexpr std::size_t kSlotSize = kDecodeRoom;
// A side that waits is woken once this many slots are ready for it, not at
// every slot: the wake-ups came to 4 % of the decoding of a gzip tar. The
// stream's end wakes at once; so does every slot of an input that may wait
// (a pipe), whose bytes are never held back for more.
constexpr std::size_t kWakeBatch = 8;
static_assert(kWakeBatch <= kSlotCount);

struct Slot {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t length = 0;
    DecodeState state = DecodeState::more;  // after these bytes
};

class ThreadedDecoder final : public StreamDecoder {
public:
    ThreadedDecoder(std::unique_ptr<StreamDecoder> decoder, bool inputMayWait)
        : decoder_(std::move(decoder)), ring_(kSlotCount, inputMayWait ? 1 : kWakeBatch) {
        for (Slot& slot : slots_) slot.bytes = std::make_unique_for_overwrite<unsigned char[]>(kSlotSize);
    }

    ~ThreadedDecoder() override {
        if (!started_) return;
        ring_.stop();
        pthread_join(thread_, nullptr);
    }

    ThreadedDecoder(const ThreadedDecoder&) = delete;
    ThreadedDecoder& operator=(const ThreadedDecoder&) = delete;

    bool start() {
        started_ = startSignalFreeThread(thread_, &ThreadedDecoder::threadMain, this);
        return started_;
    }

    // The decoder itself, back from a thread that could not start.
    std::unique_ptr<StreamDecoder> takeDecoder() { return std::move(decoder_); }

    Decoded decode(unsigned char* out, std::size_t capacity) override {
        const unsigned char* bytes = nullptr;
        const Decoded lent = lend(bytes, capacity);
        if (lent.length > 0) std::memcpy(out, bytes, lent.length);
        return lent;
    }

    bool lends() const override { return true; }

    DecodedInFile decodedInFile() const override { return decoder_->decodedInFile(); }
    void keepDecodedFile() override { decoder_->keepDecodedFile(); }

    Decoded lend(const unsigned char*& bytes, std::size_t most) override {
        bytes = nullptr;
        if (!current() && !takeNext()) return {0, finalState_};
        Slot& slot = slots_[reading_ % kSlotCount];
        const std::size_t n = std::min(most, slot.length - readOffset_);
        bytes = slot.bytes.get() + readOffset_;
        readOffset_ += n;
        return {n, DecodeState::more};
    }

private:
    static void* threadMain(void* self) {
        static_cast<ThreadedDecoder*>(self)->produce();
        return nullptr;
    }

    // The decoding thread: fills slots in turn until the stream ends, is
    // damaged, or the caller stops it.
    void produce() {
        for (std::size_t index = 0;; ++index) {
            if (!ring_.waitForRoom(index)) return;
            Slot& slot = slots_[index % kSlotCount];
            const Decoded decoded = decoder_->decode(slot.bytes.get(), kSlotSize);
            slot.length = decoded.length;
            slot.state = decoded.state;
            if (ring_.stopping()) return;
            const bool last = slot.state != DecodeState::more;
            ring_.filled(index + 1, last);
            if (last) return;
        }
    }

    // Whether the slot being read still has bytes.
    bool current() const { return holding_ && readOffset_ < slots_[reading_ % kSlotCount].length; }

    // Gives back the slot gone through and waits for the next; false at the
    // stream's end (finalState_ says how it ended).
    bool takeNext() {
        if (holding_) {
            const Slot& done = slots_[reading_ % kSlotCount];
            if (done.state != DecodeState::more) {
                finalState_ = done.state;
                return false;
            }
            ring_.freed(++reading_);
        }
        for (;;) {
            ring_.waitForFilled(reading_);
            holding_ = true;
            readOffset_ = 0;
            const Slot& slot = slots_[reading_ % kSlotCount];
            if (slot.length > 0) return true;
            if (slot.state != DecodeState::more) {
                finalState_ = slot.state;
                return false;
            }
            // An empty slot that goes on: none is handed over, but be safe.
            ring_.freed(++reading_);
        }
    }

    std::unique_ptr<StreamDecoder> decoder_;  // used by the decoding thread only, once started
    std::array<Slot, kSlotCount> slots_;
    RingHandoff ring_;
    pthread_t thread_{};
    bool started_ = false;

    // The caller's side.
    std::size_t reading_ = 0;  // the slot being read, when holding_
    bool holding_ = false;
    std::size_t readOffset_ = 0;
    DecodeState finalState_ = DecodeState::more;
};

}  // namespace

int usableCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(1, CPU_COUNT(&set));
}

bool startSignalFreeThread(pthread_t& thread, void* (*run)(void*), void* argument) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const bool started = pthread_create(&thread, nullptr, run, argument) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

bool decodingThreadWanted() {
    if (const char* forced = std::getenv("KOTAR_DECODING_THREAD")) {
        if (std::strcmp(forced, "0") == 0) return false;
        if (std::strcmp(forced, "1") == 0) return true;
    }
    return usableCpus() > 1;
}

std::unique_ptr<StreamDecoder> runOnDecodingThread(std::unique_ptr<StreamDecoder> decoder, bool inputMayWait,
                                                   const std::string& workDirectory) {
    if (decoder == nullptr) return decoder;
    decoder->mayUseAnotherThread(workDirectory);
    auto threaded = std::make_unique<ThreadedDecoder>(std::move(decoder), inputMayWait);
    if (!threaded->start()) return threaded->takeDecoder();
    return threaded;
}

}  // namespace kotar
