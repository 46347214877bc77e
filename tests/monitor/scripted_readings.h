// System readings a test scripts: the scheduler's clock only moves when the
// test lets one pass run, and its heap statistic is whatever the test set.
//
// Each pass of the scheduler reads the clock once. A read blocks until the
// test offers the next time, so the test knows exactly which pass it is in:
// pass(t) lets one pass run with the clock at t and returns once the thread
// asks for the time again, which it does only after everything that pass
// did. runFree() ends the script: from then on reads return the last time at
// once, which makes every pass after the first a no-op, so the thread can be
// stopped.
//
// The scheduler thread and the test thread meet only here, under `lock`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "monitor/system_readings.h"

class ScriptedReadings : public SystemReadings {
public:
    std::int64_t wallClockSeconds() override {
        std::unique_lock<std::mutex> hold(lock);
        ++clockReads;
        changed.notify_all();
        changed.wait(hold, [this] { return !offered.empty() || freeRunning; });
        if (!offered.empty()) {
            current = offered.front();
            offered.pop_front();
        }
        return current;
    }

    bool allocatedHeapBytes(std::uint64_t& bytes) override {
        std::lock_guard<std::mutex> hold(lock);
        heapReadTimes.push_back(current);
        if (heapFails) return false;
        bytes = heapBytes;
        return true;
    }

    // Offers the time of one more pass without waiting for it.
    void offer(std::int64_t seconds) {
        std::lock_guard<std::mutex> hold(lock);
        offered.push_back(seconds);
        ++offeredCount;
        changed.notify_all();
    }

    // Runs one pass with the clock at `seconds`; false if the pass did not
    // end within the time-out.
    bool pass(std::int64_t seconds) {
        offer(seconds);
        std::unique_lock<std::mutex> hold(lock);
        const std::uint64_t wanted = offeredCount + 1;
        return changed.wait_for(hold, kPatience, [&] { return clockReads >= wanted; });
    }

    // Waits until the thread has read the clock `count` times (the last read
    // may still be waiting for its time).
    bool waitForClockReads(std::uint64_t count) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, kPatience, [&] { return clockReads >= count; });
    }

    void runFree() {
        std::lock_guard<std::mutex> hold(lock);
        // A clock stuck at 0 would make every pass a first pass.
        if (current == 0 && offered.empty()) offered.push_back(1);
        freeRunning = true;
        changed.notify_all();
    }

    void setHeap(std::uint64_t bytes) {
        std::lock_guard<std::mutex> hold(lock);
        heapBytes = bytes;
        heapFails = false;
    }

    void failHeap() {
        std::lock_guard<std::mutex> hold(lock);
        heapFails = true;
    }

    std::uint64_t clockReadCount() {
        std::lock_guard<std::mutex> hold(lock);
        return clockReads;
    }

    // The clock time of the pass in which each heap reading was made.
    std::vector<std::int64_t> heapReadings() {
        std::lock_guard<std::mutex> hold(lock);
        return heapReadTimes;
    }

private:
    static constexpr std::chrono::seconds kPatience{20};

    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::int64_t> offered;  // guarded by lock, as is all below
    std::uint64_t offeredCount = 0;
    std::uint64_t clockReads = 0;
    std::int64_t current = 0;
    bool freeRunning = false;
    std::uint64_t heapBytes = 0;
    bool heapFails = false;
    std::vector<std::int64_t> heapReadTimes;
};
