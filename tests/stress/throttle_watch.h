// The Core's throttling flag as the stress run switches it, and how a
// sender tells afterwards whether throttling was on at some moment of its
// send. Every switch is counted before and after the store, so a send that
// began with the flag off and ended with it off still sees that it was on
// in between.
#pragma once

#include <atomic>
#include <cstdint>

class ThrottleWatch {
public:
    struct Reading {
        bool on;
        std::uint64_t switches;
    };

    explicit ThrottleWatch(std::atomic<bool>& flag) : flag(flag) {}

    void set(bool on) {
        ++switches;
        flag.store(on);
        ++switches;
    }

    // Taken just before a send.
    Reading before() const {
        const std::uint64_t count = switches.load();
        return Reading{flag.load(), count};
    }

    // Taken just after it: whether the router may have seen the flag on.
    bool wasOnSince(const Reading& start) const {
        const bool on = flag.load();
        return start.on || on || switches.load() != start.switches;
    }

    std::uint64_t switchCount() const { return switches.load() / 2; }

private:
    std::atomic<bool>& flag;
    std::atomic<std::uint64_t> switches{0};
};
