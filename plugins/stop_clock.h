// StopClock: how long the stop sequence waits for plugin calls that do not
// return, so that the whole stop ends well inside a service manager's stop
// time-out (90 seconds by default) however many plugins hang.
//
// Each call is waited for `callGrace` (kCallGrace in the server). Once the
// stop has run for four graces, each further call gets a twentieth of one;
// once it has run for six, calls not yet made are skipped. A plugin whose
// call was given up on keeps its library loaded. Main thread only.
#pragma once

#include <algorithm>
#include <chrono>

// How long the stop waits for any one plugin call: the server's one grace.
constexpr std::chrono::seconds kCallGrace{10};

class StopClock {
public:
    explicit StopClock(std::chrono::milliseconds callGrace)
        : grace(callGrace), started(std::chrono::steady_clock::now()) {}

    // How long to wait for the next call.
    std::chrono::milliseconds nextGrace() const {
        return elapsed() < 4 * grace ? grace : std::max(grace / 20, std::chrono::milliseconds(1));
    }
    // Whether calls not yet made are to be skipped.
    bool pastLimit() const { return elapsed() >= 6 * grace; }

    std::chrono::milliseconds elapsed() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
    }

private:
    const std::chrono::milliseconds grace;
    const std::chrono::steady_clock::time_point started;
};
