#include "dispatch/event_handler_thread.h"

#include "app/core.h"
#include "app/thread_log.h"

void EventHandlerThread::execute() {
    ThreadLogScope immediateLog;
    while (!isSignaled()) {
        core.eventQueue.waitForEvents(core.dispatchBatch);
        core.dispatchEvents();
    }
}
