#include "dispatch/event_queue.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

// How long the event handler thread looks for new events before it sleeps:
// long enough to bridge the gaps of a busy sender, short enough to cost
// nothing measurable when the server is idle.
constexpr std::chrono::microseconds kSpin{30};
// Once events have come, how long it lets a batch grow, and how big a batch
// it waits for. Every look at the queue takes its lines away from the
// senders, so a thread that took events one by one as they came would make
// each send pay for several cache misses; a few microseconds of gathering
// let the senders write into lines that stay theirs.
constexpr std::chrono::microseconds kGather{8};

// Roughly a microsecond between two looks at the queue.
inline void pauseBetweenLooks() {
    for (int i = 0; i < 16; ++i) __builtin_ia32_pause();
}

}  // namespace

void EventQueue::push(const CoreMessage& event) {
    bool wakeHandler = false;
    {
        std::lock_guard<pt::spinlock> hold(queueLock);
        events.push_back(event);
        // Written only when the queue stops being empty and when the batch
        // the handler gathers is full: the handler spins on this line, and
        // every write after one of its looks costs the sender a cache miss.
        const std::size_t count = events.size() - front;
        if (count == 1 || count == EventQueue::kBatchWanted) {
            waiting.store(count, std::memory_order_relaxed);
        }
        // One post wakes it; later senders need not post again.
        std::swap(wakeHandler, handlerAsleep);
    }
    if (wakeHandler) eventTrigger.post();
}

bool EventQueue::takeBatch(Batch& batch) {
    batch.clear();
    std::lock_guard<pt::spinlock> hold(queueLock);
    if (front == events.size()) return false;
    if (front != 0) events.erase(events.begin(), events.begin() + static_cast<long>(front));
    front = 0;
    batch.swap(events);
    waiting.store(0, std::memory_order_relaxed);
    return true;
}

bool EventQueue::pop(CoreMessage& event) {
    std::lock_guard<pt::spinlock> hold(queueLock);
    if (front == events.size()) return false;
    event = events[front++];
    if (front == events.size()) {
        events.clear();
        front = 0;
    }
    waiting.store(events.size() - front, std::memory_order_relaxed);
    return true;
}

EventQueue::Batch EventQueue::takeAll() {
    Batch taken;
    takeBatch(taken);
    return taken;
}

bool EventQueue::spinForEvents() const {
    const auto until = Clock::now() + kSpin;
    while (waiting.load(std::memory_order_relaxed) == 0) {
        if (Clock::now() >= until) return false;
        pauseBetweenLooks();
    }
    return true;
}

void EventQueue::gatherBatch() const {
    const auto until = Clock::now() + kGather;
    while (waiting.load(std::memory_order_relaxed) < EventQueue::kBatchWanted &&
           Clock::now() < until) {
        pauseBetweenLooks();
    }
}

void EventQueue::waitForEvents() {
    if (spinForEvents()) {
        gatherBatch();
        return;
    }
    {
        std::lock_guard<pt::spinlock> hold(queueLock);
        if (front != events.size()) return;
        handlerAsleep = true;
    }
    eventTrigger.wait();
}
