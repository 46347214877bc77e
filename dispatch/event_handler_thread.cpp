#include "dispatch/event_handler_thread.h"

#include <sched.h>

#include "dispatch/dispatcher.h"
#include "threads/thread_log.h"

void EventHandlerThread::execute() {
    ThreadLogScope immediateLog;
    // A batch thread's wake-up does not preempt the thread that woke it.
    // Otherwise a sender that posts the trigger is switched out on its way
    // back from the wake call, so the handler can run on its processor: two
    // more context switches for every event that finds the handler asleep
    // (a camera's frame, every frame). The handler now runs on an idle
    // processor, or on the sender's once the sender blocks. Same priority;
    // refused only by a seccomp policy, when the default stays.
    const sched_param samePriority{};
    sched_setscheduler(0, SCHED_BATCH, &samePriority);
    while (!isSignaled()) {
        dispatcher.waitForEvents();
        dispatcher.dispatchEvents();
    }
}
