// When the consumers of an in-process run stop waiting.
//
// Consumers stop when every one of them has its last message, or, if some
// message never comes, once a grace period has passed after the producers
// finished (as long as the producing took, and at least five seconds). Any
// thread may report; the driver's thread waits.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace bench {

class DeliveryWatch {
public:
    explicit DeliveryWatch(int consumers) : waiting(consumers) {}

    void started(std::int64_t startNs);
    void consumerComplete();
    void producersFinished();
    // Polled by the consumers' loops: every consumer is complete or the
    // grace period is over.
    bool over() const { return finished.load(std::memory_order_acquire); }
    // Blocks the driver until over().
    void waitUntilOver();

private:
    void finish();

    std::mutex lock;
    std::condition_variable changed;
    int waiting;                     // guarded by lock
    std::int64_t startNs = 0;        // guarded by lock
    std::int64_t deadlineNs = 0;     // guarded by lock; 0 until the producers finish
    // Release/acquire: consumers that see it may stop and their counts be read.
    std::atomic<bool> finished{false};
};

}  // namespace bench
