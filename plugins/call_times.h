// CallTimes: how many calls of one entry point a plugin got, and how long
// they took, for the statistics.
//
// Every call is counted; a call is timed only when its caller chose to time
// it (the event handler times one delivery in kSampleEvery, since reading
// the clock for every call would cost the message path more than the whole
// delivery; a Read worker times every call, which is nothing beside a
// thread's start). The times go into a histogram of kBuckets powers of two
// of microseconds, from which the median and the 99th percentile are read.
//
// Two kinds of writer: the event handler thread alone writes the counters
// of Write and IOCTL, so it adds without a locked instruction (addByOne);
// any number of workers write those of Read (addShared). The statistics
// thread reads them all, at any time; every field is a relaxed atomic, which
// is all a figure read now and then needs.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

class CallTimes {
public:
    static constexpr int kBuckets = 32;
    static constexpr unsigned kSampleEvery = 64;

    // One call, by the only thread that writes these counters; `nanoseconds`
    // is negative for a call that was not timed.
    // Inline, for the event handler counts every delivery and times few.
    void countOwn(std::int64_t nanoseconds) {
        if (nanoseconds >= 0) return record(nanoseconds, false);
        count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    // One call, by any of several threads.
    void countShared(std::int64_t nanoseconds) { record(nanoseconds, true); }

    struct Figures {
        std::uint64_t count = 0;
        std::uint64_t sampled = 0;
        std::uint64_t totalMicroseconds = 0;  // estimated for all calls
        std::uint64_t maxMicroseconds = 0;
        std::uint64_t p50Microseconds = 0;
        std::uint64_t p99Microseconds = 0;
        std::array<std::uint64_t, kBuckets> buckets{};
    };
    Figures figures() const;

    // The bucket of a call of `microseconds`: the first whose bound, 2^i, is
    // above it.
    static int bucketOf(std::uint64_t microseconds);

private:
    void record(std::int64_t nanoseconds, bool shared);

    std::atomic<std::uint64_t> count{0};
    std::atomic<std::uint64_t> sampled{0};
    std::atomic<std::uint64_t> sampledNanoseconds{0};
    std::atomic<std::uint64_t> longestNanoseconds{0};
    std::array<std::atomic<std::uint64_t>, kBuckets> buckets{};
};
