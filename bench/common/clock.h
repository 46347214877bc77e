// The one clock of the benchmark: CLOCK_MONOTONIC in nanoseconds.
//
// Every contender, in the harness and inside the server's plugins, stamps
// first sends, last deliveries and latencies with this clock, so figures
// taken in different processes can be compared and subtracted.
#pragma once

#include <time.h>

#include <cerrno>
#include <cstdint>

namespace bench {

inline std::int64_t nowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Sleeps until the monotonic clock reads `deadline`; returns at once when it
// has passed. Absolute deadlines keep a paced sender from drifting.
inline void sleepUntilNs(std::int64_t deadline) {
    timespec until{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

}  // namespace bench
