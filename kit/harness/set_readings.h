// SetReadings: the housekeeping's clock and heap figure, as the test sets
// them, through the monitor's SystemReadings seam.
//
// The scheduler thread reads both about ten times a second; the test's
// thread moves the clock and sets the heap figure. Every reading of the
// clock is counted, so that the test can wait until a whole housekeeping
// pass has seen a change: the pass that reads the new time has finished
// once the next reading comes. All members are atomics.
#pragma once

#include <atomic>
#include <cstdint>

#include "monitor/system_readings.h"

namespace kit {

class SetReadings : public SystemReadings {
public:
    explicit SetReadings(std::int64_t startSeconds) : clock(startSeconds) {}

    std::int64_t wallClockSeconds() override {
        const std::int64_t now = clock.load();
        clockReads.fetch_add(1);
        return now;
    }
    bool allocatedHeapBytes(std::uint64_t& bytes) override {
        bytes = heap.load();
        return true;
    }

    void advance(std::int64_t seconds) { clock.fetch_add(seconds); }
    void setHeap(std::uint64_t bytes) { heap.store(bytes); }
    std::uint64_t reads() const { return clockReads.load(); }

private:
    std::atomic<std::int64_t> clock;
    std::atomic<std::uint64_t> heap{0};
    std::atomic<std::uint64_t> clockReads{0};
};

}  // namespace kit
