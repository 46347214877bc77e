// Ends the stress run if it does not end within a bound: a deadlock or a
// stop that never returns aborts the test process with a message naming
// the phase the run was in, instead of hanging CTest until its time-out.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, const std::atomic<const char*>& phase)
        : guard([this, limit, &phase] { watch(limit, phase); }) {}

    ~Watchdog() {
        {
            std::lock_guard<std::mutex> hold(lock);
            done = true;
        }
        ended.notify_all();
        guard.join();
    }

    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    void watch(std::chrono::seconds limit, const std::atomic<const char*>& phase) {
        std::unique_lock<std::mutex> hold(lock);
        if (ended.wait_for(hold, limit, [this] { return done; })) return;
        std::fprintf(stderr,
                     "stress watchdog: the run did not end within %lld seconds; it hung while "
                     "%s\n",
                     static_cast<long long>(limit.count()), phase.load());
        std::fflush(stderr);
        std::abort();
    }

    std::mutex lock;
    std::condition_variable ended;
    bool done = false;  // guarded by lock
    std::thread guard;
};
