// RingHandoff: where a producing and a consuming thread stand on a ring of
// slots that they pass between them, and their waits for each other. Slots
// are counted from the start (slot i lives at i % slots in the caller's
// ring); the caller owns the slots themselves.
//
//   producer   waitForRoom(i), fill slot i, filled(i + 1)
//   consumer   waitForFilled(i), use slot i, freed(i + 1)
//
// A side that waits is woken once `batch` slots are ready for it, not at
// every slot: each wake-up costs the waker a system call and an interrupt to
// the other processor (some 8 microseconds in a virtual machine). The
// producer wakes the consumer at once where it must (the last slot).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace kotar {

class RingHandoff {
public:
    RingHandoff(std::size_t slots, std::size_t batch) : slots_(slots), batch_(batch) {}

    // The producer: waits until slot `index` is free; false once stopped.
    bool waitForRoom(std::size_t index);
    // The producer: the slots before `count` are full. `wakeNow` wakes a
    // waiting consumer whatever the batch.
    void filled(std::size_t count, bool wakeNow = false);

    // The consumer: waits until slot `index` is full.
    void waitForFilled(std::size_t index);
    // The consumer: the slots before `count` are free again.
    void freed(std::size_t count);

    // Ends a producer's wait for room, now and from now on.
    void stop();
    bool stopping() const { return stopping_.load(std::memory_order_relaxed); }

private:
    const std::size_t slots_;
    const std::size_t batch_;
    std::mutex mutex_;
    std::condition_variable filledSlot_;
    std::condition_variable freedSlot_;
    // Under mutex_: slots [freed_, filled_) are full and not yet used; what a
    // waiting side waits for.
    std::size_t filled_ = 0;
    std::size_t freed_ = 0;
    std::size_t filledWanted_ = 0;
    std::size_t freedWanted_ = 0;
    std::atomic<bool> stopping_ = false;  // set under mutex_, for the waits
};

}  // namespace kotar
