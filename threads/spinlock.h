// pt::spinlock: a lock for critical sections of a few dozen instructions
// that never block and never call out of the server.
//
// Taking it uncontended is one atomic exchange and giving it back one store,
// against the two locked operations and the calls of a mutex. A thread that
// finds it taken spins briefly and then yields the processor, so a holder
// that was preempted gets to run. Meets the standard Lockable requirements,
// for std::lock_guard.
#pragma once

#include <sched.h>

#include <atomic>

namespace pt {

class spinlock {
public:
    void lock() {
        while (taken.exchange(true, std::memory_order_acquire)) {
            for (int spins = 0; taken.load(std::memory_order_relaxed); ++spins) {
                if (spins < kSpinsBeforeYield) {
                    __builtin_ia32_pause();
                } else {
                    sched_yield();
                }
            }
        }
    }
    bool try_lock() { return !taken.exchange(true, std::memory_order_acquire); }
    void unlock() { taken.store(false, std::memory_order_release); }

private:
    static constexpr int kSpinsBeforeYield = 64;
    std::atomic<bool> taken{false};
};

}  // namespace pt
