#include "plugins/call_times.h"

namespace {

void add(std::atomic<std::uint64_t>& counter, std::uint64_t amount, bool shared) {
    if (shared) {
        counter.fetch_add(amount, std::memory_order_relaxed);
    } else {
        counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }
}

void raise(std::atomic<std::uint64_t>& longest, std::uint64_t value) {
    std::uint64_t seen = longest.load(std::memory_order_relaxed);
    while (value > seen && !longest.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

// The bound of the bucket where the running count passes `share` of `all`.
std::uint64_t percentile(const std::array<std::uint64_t, CallTimes::kBuckets>& buckets,
                         std::uint64_t all, double share) {
    if (all == 0) return 0;
    std::uint64_t seen = 0;
    for (int bucket = 0; bucket < CallTimes::kBuckets; ++bucket) {
        seen += buckets[bucket];
        if (static_cast<double>(seen) >= share * static_cast<double>(all)) {
            return std::uint64_t{1} << bucket;
        }
    }
    return std::uint64_t{1} << (CallTimes::kBuckets - 1);
}

}  // namespace

int CallTimes::bucketOf(std::uint64_t microseconds) {
    int bucket = 0;
    while (bucket < kBuckets - 1 && microseconds >= (std::uint64_t{1} << bucket)) ++bucket;
    return bucket;
}

void CallTimes::record(std::int64_t nanoseconds, bool shared) {
    add(count, 1, shared);
    if (nanoseconds < 0) return;
    const auto taken = static_cast<std::uint64_t>(nanoseconds);
    add(sampled, 1, shared);
    add(sampledNanoseconds, taken, shared);
    add(buckets[bucketOf(taken / 1000)], 1, shared);
    raise(longestNanoseconds, taken);
}

CallTimes::Figures CallTimes::figures() const {
    Figures figures;
    figures.count = count.load(std::memory_order_relaxed);
    figures.sampled = sampled.load(std::memory_order_relaxed);
    for (int bucket = 0; bucket < kBuckets; ++bucket) {
        figures.buckets[bucket] = buckets[bucket].load(std::memory_order_relaxed);
    }
    const std::uint64_t timed = sampledNanoseconds.load(std::memory_order_relaxed) / 1000;
    figures.totalMicroseconds =
        figures.sampled == 0 ? 0
                             : static_cast<std::uint64_t>(static_cast<double>(timed) *
                                                          static_cast<double>(figures.count) /
                                                          static_cast<double>(figures.sampled));
    figures.maxMicroseconds = longestNanoseconds.load(std::memory_order_relaxed) / 1000;
    figures.p50Microseconds = percentile(figures.buckets, figures.sampled, 0.5);
    figures.p99Microseconds = percentile(figures.buckets, figures.sampled, 0.99);
    return figures;
}
