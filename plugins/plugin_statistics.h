// PluginStatistics: what one plugin got from the core, for the statistics.
//
// The event handler thread alone counts the deliveries (Write and IOCTL,
// with their payload bytes and, now and then, their times); Read workers
// count their calls and times on their own threads; the statistics thread
// reads everything at any time. The parts one thread writes sit on cache
// lines of their own, so the event handler never waits for a line a worker
// or a reader took.
#pragma once

#include <atomic>
#include <cstdint>

#include "plugins/call_times.h"

struct PluginStatistics {
    // One Write (`write`) or event IOCTL of `bytes` payload bytes, timed in
    // `nanoseconds` or not (negative). Event handler thread only.
    void delivered(bool write, std::uint32_t bytes, std::int64_t nanoseconds) {
        std::atomic<std::uint64_t>& total = write ? writeBytes : ioctlBytes;
        total.store(total.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
        (write ? writes : ioctls).countOwn(nanoseconds);
    }

    alignas(64) CallTimes writes;
    CallTimes ioctls;
    std::atomic<std::uint64_t> writeBytes{0};
    std::atomic<std::uint64_t> ioctlBytes{0};
    alignas(64) CallTimes reads;
    std::atomic<std::uint64_t> readWorkersStarted{0};
};
