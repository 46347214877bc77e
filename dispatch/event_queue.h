// The event queue: messages the router accepted, waiting in arrival order for
// the event handler thread.
//
// Any thread that calls the router appends; only the event handler thread
// takes events off; the main thread takes what is left at stop. `events` is
// guarded by `queueLock`, which is held only while records are copied in or
// out, never during a plugin call. `eventTrigger` (auto-reset) wakes the
// event handler thread; it lives as long as the queue, so a plugin thread
// that sends after the Core stopped still finds it.
//
// Each queued record owns its payload copy; whoever takes a record off takes
// that ownership with it.
#pragma once

#include <deque>
#include <mutex>

#include "tessard_plugin.h"
#include "threads/trigger.h"

class EventQueue {
public:
    EventQueue() = default;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Appends a copy of `event` and wakes the event handler thread.
    void push(const CoreMessage& event);
    // Copies the front event into `event` and removes it; false when empty.
    bool pop(CoreMessage& event);
    // Removes and returns every waiting event, in order.
    std::deque<CoreMessage> takeAll();

    // Blocks until something was pushed or wake() was called since the last
    // return.
    void waitForEvents() { eventTrigger.wait(); }
    void wake() { eventTrigger.post(); }
    // Forgets wake-ups that nobody waited for.
    void clearWakeups() { eventTrigger.reset(); }

    bool empty();

private:
    std::mutex queueLock;
    std::deque<CoreMessage> events;  // guarded by queueLock
    pt::trigger eventTrigger{true, false};
};
