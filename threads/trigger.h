// An event object: set by post, waited on by wait. An auto-reset trigger lets
// one wait through per post and wakes one waiter; a manual-reset trigger,
// once set, lets every wait through until it is reset. Posts do not
// accumulate.
//
// Built on a futex rather than a mutex and condition variable: the event
// handler thread sleeps on one of these between frames, and a condition
// variable makes every wake-up cost a second system call (the woken thread
// takes the mutex back marked as contended, so its unlock wakes nobody in
// the kernel). Here a post that finds a sleeper makes one call and a wait
// makes one. A post touches the trigger after the waiter may already have
// passed, so a trigger must outlive every post in progress, not only the
// waits.
#pragma once

#include <atomic>

namespace pt {

class trigger {
public:
    trigger(bool autoreset, bool state);

    trigger(const trigger&) = delete;
    trigger& operator=(const trigger&) = delete;

    void wait();
    void post();
    void reset();

private:
    // Takes the post (auto-reset) or looks at it (manual reset); true when
    // the wait may pass.
    bool pass();

    std::atomic<int> state;     // 1 = set; the futex word
    std::atomic<int> sleepers{0};  // threads in, or about to enter, the futex wait
    const bool autoreset;
};

}  // namespace pt
