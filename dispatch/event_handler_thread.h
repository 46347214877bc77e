// EventHandlerThread: the one thread that hands queued events to the plugins.
//
// It sleeps on the event queue's trigger and, each time it wakes, drains the
// queue (Dispatcher::dispatchEvents). Every Write and event IOCTL of every
// plugin runs on this thread, one after the other. It ends when it finds the
// stop request at the top of a pass; the stop sequence wakes it for that.
#pragma once

#include "threads/thread.h"

class Dispatcher;

class EventHandlerThread : public pt::thread {
public:
    explicit EventHandlerThread(Dispatcher& dispatcher)
        : pt::thread(false), dispatcher(dispatcher) {}
    // Joins the thread.
    ~EventHandlerThread() override { waitfor(); }

protected:
    void execute() override;

private:
    Dispatcher& dispatcher;
};
