#include "dispatch/event_handler_thread.h"

#include "dispatch/dispatcher.h"
#include "threads/thread_log.h"

void EventHandlerThread::execute() {
    ThreadLogScope immediateLog;
    while (!isSignaled()) {
        dispatcher.waitForEvents();
        dispatcher.dispatchEvents();
    }
}
