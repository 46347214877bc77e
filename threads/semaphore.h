// A counting semaphore on a POSIX unnamed semaphore, private to the process.
//
// It holds no lock of its own; any thread may wait or post. Reader workers
// are paced with one of these (count 1) in their reply slot.
#pragma once

#include <semaphore.h>

#include "threads/unknown.h"

namespace pt {

class semaphore : public unknown {
public:
    explicit semaphore(int initial);
    ~semaphore() override;

    semaphore(const semaphore&) = delete;
    semaphore& operator=(const semaphore&) = delete;

    // Blocks until the count is above zero, then takes one. A wait cut short
    // by a signal handler keeps waiting.
    void wait();
    void post();

private:
    sem_t handle;
};

}  // namespace pt
