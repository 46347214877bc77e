#include "threads/semaphore.h"

#include <cerrno>

#include "threads/fatal.h"

namespace pt {

namespace {
const char kSemaphoreFailed[] = "Semaphore failed";
}

semaphore::semaphore(int initial) {
    if (sem_init(&handle, 0, static_cast<unsigned>(initial)) != 0) {
        fatal(FATAL_SEMAPHORE, kSemaphoreFailed);
    }
}

semaphore::~semaphore() { sem_destroy(&handle); }

void semaphore::wait() {
    // sem_wait, not sem_clockwait: the thread sanitizer understands only the
    // former, and an untimed wait needs no clock.
    while (sem_wait(&handle) != 0) {
        if (errno != EINTR) fatal(FATAL_SEMAPHORE, kSemaphoreFailed);
    }
}

void semaphore::post() {
    if (sem_post(&handle) != 0) fatal(FATAL_SEMAPHORE, kSemaphoreFailed);
}

}  // namespace pt
