#include "threads/timedsem.h"

#include <cerrno>

#include "threads/fatal.h"

namespace pt {

namespace {

const long kNanosPerSecond = 1000000000L;

void failTimedSemaphore() { fatal(FATAL_SEMAPHORE, "Timed semaphore failed"); }

}  // namespace

timespec deadlineAfter(const timespec& now, int milliseconds) {
    timespec deadline;
    deadline.tv_sec = now.tv_sec + milliseconds / 1000;
    deadline.tv_nsec = now.tv_nsec + static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= kNanosPerSecond) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= kNanosPerSecond;
    }
    return deadline;
}

timedsem::timedsem(int initial) : count(initial) {
    if (pthread_mutex_init(&mtx, nullptr) != 0) failTimedSemaphore();
    if (pthread_condattr_init(&condattr) != 0) failTimedSemaphore();
    if (pthread_condattr_setclock(&condattr, CLOCK_MONOTONIC) != 0) failTimedSemaphore();
    if (pthread_cond_init(&cond, &condattr) != 0) failTimedSemaphore();
}

timedsem::~timedsem() {
    pthread_cond_destroy(&cond);
    pthread_condattr_destroy(&condattr);
    pthread_mutex_destroy(&mtx);
}

bool timedsem::wait(int timeoutMs) {
    timespec deadline{};
    if (timeoutMs >= 0) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        deadline = deadlineAfter(now, timeoutMs);
    }
    pthread_mutex_lock(&mtx);
    while (count <= 0) {
        if (timeoutMs < 0) {
            pthread_cond_wait(&cond, &mtx);
        } else if (pthread_cond_timedwait(&cond, &mtx, &deadline) == ETIMEDOUT) {
            pthread_mutex_unlock(&mtx);
            return false;
        }
    }
    --count;
    pthread_mutex_unlock(&mtx);
    return true;
}

void timedsem::post() {
    pthread_mutex_lock(&mtx);
    ++count;
    pthread_cond_signal(&cond);
    pthread_mutex_unlock(&mtx);
}

}  // namespace pt
