#include "decode/ring_handoff.h"

namespace kotar {

bool RingHandoff::waitForRoom(std::size_t index) {
    std::unique_lock lock(mutex_);
    if (index - freed_ >= slots_) {
        freedWanted_ = index - slots_ + batch_;
        freedSlot_.wait(lock, [&] { return stopping_ || index - freed_ < slots_; });
    }
    return !stopping_;
}

void RingHandoff::filled(std::size_t count, bool wakeNow) {
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        filled_ = count;
        wake = wakeNow || filled_ >= filledWanted_;
    }
    if (wake) filledSlot_.notify_one();
}

void RingHandoff::waitForFilled(std::size_t index) {
    std::unique_lock lock(mutex_);
    if (filled_ > index) return;
    filledWanted_ = index + batch_;
    filledSlot_.wait(lock, [&] { return filled_ > index; });
}

void RingHandoff::freed(std::size_t count) {
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        freed_ = count;
        wake = freed_ >= freedWanted_;
    }
    if (wake) freedSlot_.notify_one();
}

void RingHandoff::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    freedSlot_.notify_one();
}

}  // namespace kotar
