#include "dispatch/event_queue.h"

void EventQueue::push(const CoreMessage& event) {
    {
        std::lock_guard<std::mutex> hold(queueLock);
        events.push_back(event);
    }
    eventTrigger.post();
}

bool EventQueue::pop(CoreMessage& event) {
    std::lock_guard<std::mutex> hold(queueLock);
    if (events.empty()) return false;
    event = events.front();
    events.pop_front();
    return true;
}

std::deque<CoreMessage> EventQueue::takeAll() {
    std::deque<CoreMessage> taken;
    std::lock_guard<std::mutex> hold(queueLock);
    taken.swap(events);
    return taken;
}

bool EventQueue::empty() {
    std::lock_guard<std::mutex> hold(queueLock);
    return events.empty();
}
