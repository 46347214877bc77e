#include "peers/delivery_watch.h"

#include <algorithm>
#include <chrono>

#include "common/clock.h"

namespace bench {

namespace {

constexpr std::int64_t kMinimumGraceNs = 5000000000;

}  // namespace

void DeliveryWatch::started(std::int64_t start) {
    std::lock_guard<std::mutex> hold(lock);
    startNs = start;
}

void DeliveryWatch::consumerComplete() {
    std::lock_guard<std::mutex> hold(lock);
    if (--waiting == 0) finish();
}

void DeliveryWatch::producersFinished() {
    std::lock_guard<std::mutex> hold(lock);
    const std::int64_t now = nowNs();
    deadlineNs = now + std::max(kMinimumGraceNs, now - startNs);
    changed.notify_all();
}

void DeliveryWatch::waitUntilOver() {
    std::unique_lock<std::mutex> hold(lock);
    while (!over()) {
        if (deadlineNs != 0 && nowNs() >= deadlineNs) {
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
