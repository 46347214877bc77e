#include "peers/delivery_watch.h"

#include <chrono>

#include "common/clock.h"

namespace bench {

namespace {

constexpr std::int64_t kQuietNs = 10000000000;

}  // namespace

DeliveryWatch::DeliveryWatch(int consumers)
    : consumers(consumers), progress(new Progress[consumers]), waiting(consumers) {}

void DeliveryWatch::consumerComplete() {
    std::lock_guard<std::mutex> hold(lock);
    if (--waiting == 0) finish();
}

void DeliveryWatch::producersFinished() {
    std::lock_guard<std::mutex> hold(lock);
    producersDone = true;
    changed.notify_all();
}

std::int64_t DeliveryWatch::deliveries() const {
    std::int64_t total = 0;
    for (int i = 0; i < consumers; ++i) total += progress[i].count.load(std::memory_order_relaxed);
    return total;
}

void DeliveryWatch::waitUntilOver() {
    std::unique_lock<std::mutex> hold(lock);
    std::int64_t seen = -1;
    std::int64_t lastChangeNs = nowNs();
    while (!over()) {
        const std::int64_t now = nowNs();
        const std::int64_t count = deliveries();
        if (count != seen || !producersDone) {
            seen = count;
            lastChangeNs = now;
        } else if (now - lastChangeNs > kQuietNs) {
            finish();
            break;
        }
        changed.wait_for(hold, std::chrono::milliseconds(50));
    }
}

// Called with lock held.
void DeliveryWatch::finish() {
    finished.store(true, std::memory_order_release);
    changed.notify_all();
}

}  // namespace bench
