// An event object: set by post, waited on by wait. An auto-reset trigger lets
// one wait through per post and wakes one waiter; a manual-reset trigger,
// once set, lets every wait through until it is reset. Posts do not
// accumulate.
//
// `state` is guarded by `mtx`. The Core's event trigger is one of these. A
// post signals after it has released `mtx`, so a trigger must outlive every
// post in progress, not only the waits.
#pragma once

#include <pthread.h>

namespace pt {

class trigger {
public:
    trigger(bool autoreset, bool state);
    ~trigger();

    trigger(const trigger&) = delete;
    trigger& operator=(const trigger&) = delete;

    void wait();
    void post();
    void reset();

private:
    pthread_mutex_t mtx;
    pthread_cond_t cond;
    int state;  // guarded by mtx; 1 = set
    const bool autoreset;
};

}  // namespace pt
