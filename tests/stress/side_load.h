// The stress run's other two threads besides the producers.
//
// ReadRequester sends read requests, each with a fresh handle and a payload
// the readers send back, and cancels most of the handles while the readers'
// workers answer: at once, after a moment, or once more after reviving an
// old handle with a new request. Handles marked HARD_LIVE_HANDLE are never
// cancelled. Every request and cancel must be accepted.
//
// ThrottleSwitcher switches the Core's throttling on for a moment and off
// for a while, again and again, through the ThrottleWatch the producers
// judge their refusals by; it leaves throttling off when it ends.
//
// Each thread's state is its own until it is joined.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "producer.h"
#include "throttle_watch.h"

class ReadRequester {
public:
    // Between two rounds it pauses `meanPause` on average.
    ReadRequester(const RunSignals& signals, std::chrono::microseconds meanPause)
        : signals(signals), meanPause(meanPause), random(0xfeed) {}

    void run();

    std::uint64_t requests() const { return requestCount; }
    std::uint64_t cancels() const { return cancelCount; }
    std::uint64_t revivals() const { return revivalCount; }
    const std::vector<std::string>& faults() const { return faultNotes; }

private:
    void requestAndCancel();
    void request(std::uint64_t handle, std::uint64_t flags);
    void cancel(std::uint64_t handle);
    void expectAccepted(std::int32_t code, const char* what, std::uint64_t handle);

    const RunSignals& signals;
    const std::chrono::microseconds meanPause;
    std::mt19937 random;
    std::uint64_t nextHandle = 0;
    std::vector<std::uint64_t> cancelledHandles;
    std::uint64_t requestCount = 0;
    std::uint64_t cancelCount = 0;
    std::uint64_t revivalCount = 0;
    std::vector<std::string> faultNotes;
};

class ThrottleSwitcher {
public:
    ThrottleSwitcher(const RunSignals& signals, ThrottleWatch& throttle)
        : signals(signals), throttle(throttle), random(0xbeef) {}

    void run();

private:
    void pause(unsigned fromMicroseconds, unsigned toMicroseconds);

    const RunSignals& signals;
    ThrottleWatch& throttle;
    std::mt19937 random;
};
