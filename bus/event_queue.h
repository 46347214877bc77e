// The event queue: messages the router accepted, waiting in arrival order for
// the event handler thread.
//
// Any thread that calls the router appends; only the event handler thread
// takes events off, a whole batch per lock acquisition; the main thread
// takes what is left at stop. `events` is guarded by `queueLock`, which is
// held only while records are copied in or the batch is swapped out, never
// during a plugin call. The storage is reused from batch to batch, so a
// queued message costs no allocation once the queue has grown to its
// working size; when a burst is over (the handler finds nothing to do) the
// storage beyond kKeptEvents records is given back.
//
// The queue is bounded by the bytes it holds: every event counts its
// payload and its record from the moment it is queued until the batch it
// was taken in has been handed out. A push that would pass the bound is
// refused, so a sender faster than a slow consumer cannot grow the server
// until the kernel kills it. Once closed (the stop has begun), every push is
// refused: nothing queued then would ever be delivered.
//
// The event handler thread spins briefly when the queue runs dry (the
// shorter the less often spinning found events) and then sleeps on
// `eventTrigger` (auto-reset), which lives as long as the queue,
// so a plugin thread that sends after the Core stopped still finds it.
// Senders post the trigger only when the handler is asleep: it says so under
// `queueLock`, after finding the queue empty there, and the first sender
// after that takes the flag back under the same lock and posts. So no
// wake-up is lost, and a busy queue costs no post at all.
//
// Each queued record owns its payload copy; whoever takes a record off takes
// that ownership with it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "tessard_plugin.h"
#include "threads/spinlock.h"
#include "threads/trigger.h"

class EventQueue {
public:
    // How many waiting events make a batch worth taking at once.
    static constexpr std::size_t kBatchWanted = 64;
    // How many records' worth of storage the queue and a batch keep between
    // bursts.
    static constexpr std::size_t kKeptEvents = 4096;

    using Batch = std::vector<CoreMessage>;

    enum class Admission { Queued, Full, Closed };

    EventQueue() = default;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // The most bytes of events (payload and record) the queue holds.
    void limitBytes(std::size_t bytes);
    // The bytes an event counts against the limit.
    static std::size_t bytesOf(const CoreMessage& event) {
        return sizeof(CoreMessage) + event.length;
    }

    // Appends a copy of `event` and wakes the event handler thread if it may
    // be asleep; refused when the queue is closed or the event would pass
    // the byte limit. A queued event counts one up on `accepted`, if given,
    // under the queue's lock: counters counted only here need no locked
    // instruction of their own.
    Admission push(const CoreMessage& event, std::atomic<std::uint64_t>* accepted = nullptr);
    // Replaces `batch` with every waiting event, in order, under one lock
    // acquisition; false when none was waiting. The old contents of `batch`
    // must have been handled: its storage is given to the queue for reuse,
    // and its bytes no longer count against the limit.
    bool takeBatch(Batch& batch);
    // Copies the front event into `event` and removes it; false when empty.
    bool pop(CoreMessage& event);
    // Removes and returns every waiting event, in order.
    Batch takeAll();

    // Refuses every push from now on, and wakes the event handler thread;
    // reopen() admits pushes again.
    void close();
    void reopen();
    // Read without the lock: a push checks again under it. Acquire, so that
    // what the closer wrote before it closed (the stop's drain time) is seen
    // with it.
    bool isClosed() const { return closed.load(std::memory_order_acquire); }

    // Returns once something was pushed or wake() was called since the last
    // return: at once when events are waiting, after a short spin when they
    // come soon, else after sleeping on the trigger. Before it sleeps, the
    // handled batch's bytes stop counting and storage beyond kKeptEvents
    // records, the queue's and `batch`'s, is given back.
    void waitForEvents(Batch& batch);
    void wake() { eventTrigger.post(); }
    // Forgets wake-ups that nobody waited for.
    void clearWakeups() { eventTrigger.reset(); }

    bool empty() const { return waiting.load() == 0; }
    // Bytes counted against the limit now; for tests and reports.
    std::size_t bytesHeld();
    // Records' worth of storage the queue keeps now; for tests.
    std::size_t capacity();
    // Events waiting now, and the most that ever waited at once.
    std::size_t depth();
    std::size_t highWater();

private:
    // How long the event handler thread looks for new events before it
    // sleeps, at most: long enough to bridge the gaps of a busy sender,
    // short enough to cost nothing measurable when the server is idle.
    static constexpr std::chrono::microseconds kSpin{30};

    // Looks for events for `spinFor`; true when some came.
    bool spinForEvents() const;
    void gatherBatch() const;
    // Whether the handler may sleep now; if so, gives back what it no
    // longer needs into `released`. Under queueLock.
    bool prepareToSleep(Batch& released);

    // The state the senders and the handler change under the lock, packed
    // into one line (the spinlock and the flag share its first word).
    //
    // A spinlock: it is held for one record copy or one swap, and senders on
    // several threads meet the event handler thread on it all the time, where
    // a mutex would put them to sleep in the kernel.
    alignas(64) pt::spinlock queueLock;
    // Whether the event handler thread sleeps and nobody has posted yet.
    bool handlerAsleep = false;  // guarded by queueLock
    Batch events;             // guarded by queueLock
    std::size_t front = 0;    // guarded by queueLock: events before it were popped
    // Bytes of the waiting events, and of the batch being handed out.
    std::size_t queuedBytes = 0;      // guarded by queueLock
    std::size_t deliveringBytes = 0;  // guarded by queueLock
    std::size_t mostWaiting = 0;      // guarded by queueLock
    // Read by every sender and by the handler for every event, written
    // almost never: on a line of their own.
    alignas(64) std::size_t byteLimit = SIZE_MAX;  // guarded by queueLock
    // Set under queueLock (with release); read without it by the router and
    // the handler, which need not see it at once: a push checks it again
    // under the lock.
    std::atomic<bool> closed{false};
    // How long the handler looks for events before it sleeps; adapts to
    // how often looking found some. Event handler thread only.
    alignas(64) std::chrono::steady_clock::duration spinFor = kSpin;
    // Whether events wait, and whether a full batch does: 0 when the queue
    // is empty, else at least 1, and at least kBatchWanted once that many
    // wait (see push). Written under queueLock, read without it by the
    // spinning event handler thread. On a line of its own, so that the
    // spinning does not take the lock's line away from the senders.
    alignas(64) std::atomic<std::size_t> waiting{0};
    alignas(64) pt::trigger eventTrigger{true, false};
};
