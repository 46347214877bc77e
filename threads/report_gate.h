// ReportGate: lets one report of a recurring condition through per interval
// and counts the ones it held back, so that a flood (thousands of refused
// calls a second) costs the log one line every few seconds, not thousands.
//
// Any thread may ask at any time; the gate is one atomic time stamp and one
// atomic count, so asking costs no lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace pt {

class ReportGate {
public:
    explicit ReportGate(std::chrono::milliseconds interval) : interval(interval.count()) {}

    // True when a report may go out now; `held` is then how many were held
    // back since the last one went out.
    bool admit(std::uint64_t& held) {
        const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        std::int64_t due = nextReport.load(std::memory_order_relaxed);
        if (now >= due &&
            nextReport.compare_exchange_strong(due, now + interval, std::memory_order_relaxed)) {
            held = heldBack.exchange(0, std::memory_order_relaxed);
            return true;
        }
        heldBack.fetch_add(1, std::memory_order_relaxed);
        return false;
    }

private:
    const std::int64_t interval;
    std::atomic<std::int64_t> nextReport{0};
    std::atomic<std::uint64_t> heldBack{0};
};

}  // namespace pt
