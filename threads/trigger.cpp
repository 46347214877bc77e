#include "threads/trigger.h"

#include "threads/fatal.h"

namespace pt {

trigger::trigger(bool autoreset, bool state) : state(state ? 1 : 0), autoreset(autoreset) {
    if (pthread_mutex_init(&mtx, nullptr) != 0 || pthread_cond_init(&cond, nullptr) != 0) {
        fatal(FATAL_SEMAPHORE, "Trigger failed");
    }
}

trigger::~trigger() {
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mtx);
}

void trigger::wait() {
    pthread_mutex_lock(&mtx);
    while (state == 0) pthread_cond_wait(&cond, &mtx);
    if (autoreset) state = 0;
    pthread_mutex_unlock(&mtx);
}

void trigger::post() {
    pthread_mutex_lock(&mtx);
    state = 1;
    pthread_mutex_unlock(&mtx);
    // Signalled once the mutex is free: a waiter woken while the poster
    // still held it would go straight back to sleep on the mutex, and the
    // unlock would have to wake it a second time.
    if (autoreset) {
        pthread_cond_signal(&cond);
    } else {
        pthread_cond_broadcast(&cond);
    }
}

void trigger::reset() {
    pthread_mutex_lock(&mtx);
    state = 0;
    pthread_mutex_unlock(&mtx);
}

}  // namespace pt
