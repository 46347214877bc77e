#include "app/core.h"

#include "app/thread_log.h"
#include "dispatch/event_handler_thread.h"
#include "monitor/scheduler_thread.h"
#include "plugins/loader.h"
#include "plugins/shutdown.h"
#include "threads/sleep.h"

Core* theCore = nullptr;

namespace {

// Asks a long-lived thread to stop, waits until it has ended and joins it.
// `wake` is called after the stop request, for a thread that may be blocked
// elsewhere than in its relax() pause.
template <typename Thread, typename Wake>
void stopThread(std::unique_ptr<Thread>& thread, Wake&& wake) {
    if (!thread) return;
    thread->signal();
    wake();
    while (!thread->isFinished()) pt::psleep(100);
    thread.reset();
}

}  // namespace

Core::Core(const wxFileName& exePath, PayloadAllocator& payloadAllocator,
           SystemReadings& readings)
    : payloadAllocator(payloadAllocator), readings(readings), exePath(exePath) {
    theCore = this;
}

Core::~Core() {
    // Events a plugin sent after stop() are freed here, and so are payloads
    // that plugins retained and never gave back: no plugin is left to.
    discardQueuedEvents();
    for (std::uint64_t payload : payloadHolders.clear()) {
        payloadAllocator.release(reinterpret_cast<void*>(payload));
    }
}

bool Core::start() {
    ThreadLogScope::prepare();
    eventQueue.clearWakeups();
    replies.reopen();
    plugins.clear();
    loadPlugins(*this);
    openPlugins(*this);
    eventHandlerThread = std::make_unique<EventHandlerThread>(*this);
    eventHandlerThread->start();
    schedulerThread = std::make_unique<SchedulerThread>(*this, readings);
    schedulerThread->start();
    return true;
}

void Core::stop() {
    // Housekeeping first, then the fan-out, so that nothing reaches a plugin
    // that is closing.
    stopThread(schedulerThread, [] {});
    stopThread(eventHandlerThread, [this] { eventQueue.wake(); });
    // With the fan-out gone no payload is freed any more, so a reader worker
    // waiting to send its next one would wait through its plugin's Close:
    // it is woken, and its further answers are refused.
    replies.closeAll();
    closePlugins(*this);
    unloadPlugins(*this);
    plugins.clear();
    discardQueuedEvents();
    eventQueue.clearWakeups();
}

void Core::discardQueuedEvents() {
    for (const CoreMessage& event : eventQueue.takeAll()) {
        if (event.payload == nullptr) continue;
        replies.payloadFreed(event.payload);
        payloadAllocator.release(const_cast<void*>(event.payload));
    }
}
