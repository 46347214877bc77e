// A counting semaphore whose wait can time out, measured on the monotonic
// clock so that a change of the system time neither shortens nor lengthens a
// wait.
//
// `count` is guarded by `mtx`; `cond` is signalled once per post. Every
// pt::thread keeps one of these as its stop-request semaphore.
#pragma once

#include <pthread.h>
#include <time.h>

#include "threads/unknown.h"

namespace pt {

// The monotonic-clock instant `milliseconds` after `now`, with the
// nanoseconds kept below one second.
timespec deadlineAfter(const timespec& now, int milliseconds);

class timedsem : public unknown {
public:
    explicit timedsem(int initial);
    ~timedsem() override;

    timedsem(const timedsem&) = delete;
    timedsem& operator=(const timedsem&) = delete;

    // Takes one count, waiting at most `timeoutMs` milliseconds (a negative
    // value waits without limit). Returns false on time-out. The deadline is
    // fixed when the wait begins: a wake-up that finds nothing to take does
    // not extend the total wait.
    bool wait(int timeoutMs);
    void post();

private:
    int count;  // guarded by mtx
    pthread_mutex_t mtx;
    pthread_condattr_t condattr;
    pthread_cond_t cond;
};

}  // namespace pt
