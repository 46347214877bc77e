#include "bus/event_queue.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

// The event handler thread's look for new events (EventQueue::kSpin) is
// halved each time it finds nothing, and restored each time it finds events,
// so sparse traffic (video frames, each a few milliseconds apart) does not
// pay for a spin per event, while a flood keeps the handler awake between
// its batches. Below this it does not spin at all, only looks once.
constexpr std::chrono::nanoseconds kShortestSpin{500};
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

void EventQueue::limitBytes(std::size_t bytes) {
    std::lock_guard<pt::spinlock> hold(queueLock);
    byteLimit = bytes;
}

EventQueue::Admission EventQueue::push(const CoreMessage& event,
                                       std::atomic<std::uint64_t>* accepted) {
    const std::size_t bytes = bytesOf(event);
    bool wakeHandler = false;
    {
        std::lock_guard<pt::spinlock> hold(queueLock);
        if (closed.load(std::memory_order_relaxed)) return Admission::Closed;
        if (queuedBytes + deliveringBytes + bytes > byteLimit) return Admission::Full;
        queuedBytes += bytes;
        events.push_back(event);
        if (accepted != nullptr) {
            accepted->store(accepted->load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
        }
        // Written only when the queue stops being empty and when the batch
        // the handler gathers is full: the handler spins on this line, and
        // every write after one of its looks costs the sender a cache miss.
        const std::size_t count = events.size() - front;
        if (count > mostWaiting) mostWaiting = count;
        if (count == 1 || count == EventQueue::kBatchWanted) {
            waiting.store(count, std::memory_order_relaxed);
        }
        // One post wakes it; later senders need not post again.
        std::swap(wakeHandler, handlerAsleep);
    }
    if (wakeHandler) eventTrigger.post();
    return Admission::Queued;
}

bool EventQueue::takeBatch(Batch& batch) {
    batch.clear();
    std::lock_guard<pt::spinlock> hold(queueLock);
    // The batch handed out before this one has been delivered.
    deliveringBytes = 0;
    if (front == events.size()) return false;
    if (front != 0) events.erase(events.begin(), events.begin() + static_cast<long>(front));
    front = 0;
    batch.swap(events);
    deliveringBytes = queuedBytes;
    queuedBytes = 0;
    waiting.store(0, std::memory_order_relaxed);
    return true;
}

bool EventQueue::pop(CoreMessage& event) {
    std::lock_guard<pt::spinlock> hold(queueLock);
    if (front == events.size()) return false;
    event = events[front++];
    queuedBytes -= bytesOf(event);
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
    std::lock_guard<pt::spinlock> hold(queueLock);
    deliveringBytes = 0;
    return taken;
}

void EventQueue::close() {
    {
        std::lock_guard<pt::spinlock> hold(queueLock);
        closed.store(true, std::memory_order_release);
    }
    wake();
}

void EventQueue::reopen() {
    std::lock_guard<pt::spinlock> hold(queueLock);
    closed.store(false, std::memory_order_relaxed);
}

std::size_t EventQueue::bytesHeld() {
    std::lock_guard<pt::spinlock> hold(queueLock);
    return queuedBytes + deliveringBytes;
}

std::size_t EventQueue::depth() {
    std::lock_guard<pt::spinlock> hold(queueLock);
    return events.size() - front;
}

std::size_t EventQueue::highWater() {
    std::lock_guard<pt::spinlock> hold(queueLock);
    return mostWaiting;
}

std::size_t EventQueue::capacity() {
    std::lock_guard<pt::spinlock> hold(queueLock);
    return events.capacity();
}

bool EventQueue::spinForEvents() const {
    if (spinFor == Clock::duration::zero()) return waiting.load(std::memory_order_relaxed) != 0;
    const auto until = Clock::now() + spinFor;
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

bool EventQueue::prepareToSleep(Batch& released) {
    if (front != events.size()) return false;
    deliveringBytes = 0;
    if (events.capacity() > kKeptEvents) {
        events.clear();
        front = 0;
        released.swap(events);
    }
    handlerAsleep = true;
    return true;
}

void EventQueue::waitForEvents(Batch& batch) {
    if (spinForEvents()) {
        spinFor = kSpin;
        gatherBatch();
        return;
    }
    spinFor = spinFor / 2 >= kShortestSpin ? spinFor / 2 : Clock::duration::zero();
    // Freed outside the lock, so that senders do not wait for the heap.
    Batch released;
    if (batch.capacity() > kKeptEvents) Batch().swap(batch);
    {
        std::lock_guard<pt::spinlock> hold(queueLock);
        if (!prepareToSleep(released)) return;
    }
    Batch().swap(released);
    eventTrigger.wait();
}
