#include "threads/trigger.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "threads/fatal.h"

namespace pt {

namespace {

// Sleeps while *word is still `expected`; returns at once when it is not.
void futexWait(std::atomic<int>& word, int expected) {
    const long result = syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE,
                                expected, nullptr, nullptr, 0);
    if (result != 0 && errno != EAGAIN && errno != EINTR) fatal(FATAL_SEMAPHORE, "Trigger failed");
}

void futexWake(std::atomic<int>& word, int threads) {
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, threads, nullptr,
            nullptr, 0);
}

}  // namespace

trigger::trigger(bool autoreset, bool state) : state(state ? 1 : 0), autoreset(autoreset) {}

bool trigger::pass() {
    if (!autoreset) return state.load() == 1;
    int set = 1;
    return state.compare_exchange_strong(set, 0);
}

void trigger::wait() {
    while (!pass()) {
        // Counted before the futex looks at the word, and posts set the word
        // before they read the count: either the post sees this sleeper and
        // wakes it, or the futex sees the word set and does not sleep.
        sleepers.fetch_add(1);
        futexWait(state, 0);
        sleepers.fetch_sub(1);
    }
}

void trigger::post() {
    state.store(1);
    if (sleepers.load() > 0) futexWake(state, autoreset ? 1 : INT_MAX);
}

void trigger::reset() { state.store(0); }

}  // namespace pt
