// When the consumers of an in-process run stop waiting.
//
// Consumers stop when every one of them has its last message, or, if some
// message never comes, once the producers have finished and no consumer has
// received anything for ten seconds. A hub with unbounded queues may take
// far longer to deliver than its producers took to send, so the wait is
// measured from the last delivery, not from the end of the sending.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace bench {

class DeliveryWatch {
public:
    explicit DeliveryWatch(int consumers);

    // On consumer `index`'s own thread, for every delivery.
    void delivered(int index) {
        std::atomic<std::int64_t>& count = progress[index].count;
        count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    void consumerComplete();
    void producersFinished();
    // Polled by the consumers' loops: every consumer is complete or the run
    // has given up.
    bool over() const { return finished.load(std::memory_order_acquire); }
    // Blocks the driver until over().
    void waitUntilOver();

private:
    // One per consumer, each on a cache line of its own, so that counting
    // costs a consumer no more than a store.
    struct alignas(64) Progress {
        std::atomic<std::int64_t> count{0};
    };

    std::int64_t deliveries() const;
    void finish();

    const int consumers;
    std::unique_ptr<Progress[]> progress;
    std::mutex lock;
    std::condition_variable changed;
    int waiting;                      // guarded by lock
    bool producersDone = false;       // guarded by lock
    // Release/acquire: consumers that see it may stop and their counts be read.
    std::atomic<bool> finished{false};
};

}  // namespace bench
