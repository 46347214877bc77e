#include "app/core.h"

#include <wx/log.h>

#include "app/thread_log.h"
#include "dispatch/event_handler_thread.h"
#include "monitor/memory_limit.h"
#include "monitor/scheduler_thread.h"
#include "plugins/call_words.h"
#include "plugins/loader.h"
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
    : payloadAllocator(payloadAllocator),
      readings(readings),
      exePath(exePath),
      memoryLimit(memoryLimitFor(readMemoryFacts())) {
    theCore = this;
    eventQueue.limitBytes(memoryLimit / 4);
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
    eventQueue.reopen();
    eventQueue.clearWakeups();
    discardedAtStop = 0;
    replies.reopen();
    deliveryWatch.allowDeliveries();
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
    const StopClock clock(callGrace);
    // Housekeeping first, then the fan-out, so that nothing reaches a plugin
    // that is closing.
    stopThread(schedulerThread, [] {});
    const bool handlerEnded = stopEventHandler(clock);
    // With the fan-out gone no payload is freed any more, so a reader worker
    // waiting to send its next one would wait through its plugin's Close:
    // it is woken, and its further answers are refused.
    replies.closeAll();
    closePlugins(*this, clock);
    // A plugin's Close is expected to make its running calls return; the
    // event handler must be out of every plugin before any is unloaded.
    if (!handlerEnded) leaveStuckEventHandler(clock);
    unloadPlugins(*this, clock);
    plugins.clear();
    discardQueuedEvents();
    eventQueue.clearWakeups();
    queueRefusals.reportTotals();
}

bool Core::pluginCodeMayStillRun() const {
    return plugins.pluginCodeMayStillRun() || abandonedEventHandler != nullptr;
}

// Asks the event handler to stop and waits for it; from now on the queue
// refuses every message, and the handler returns once the event in hand has
// been handed out. False when it spent the grace inside one plugin call: its
// deliveries are then stopped and the thread is left to end once the
// plugins are closed.
bool Core::stopEventHandler(const StopClock& clock) {
    if (!eventHandlerThread) return true;
    eventHandlerThread->signal();
    eventQueue.close();
    const std::chrono::milliseconds grace = clock.nextGrace();
    if (!awaitEventHandler(grace)) {
        wxLogWarning("%s; the stop closes the plugins without waiting for it",
                     longCallText(deliveryWatch.callingPlugin()->fileName(),
                                  deliveryWatch.callingEntry(), grace));
        deliveryWatch.stopDeliveries();
        return false;
    }
    eventHandlerThread.reset();
    return true;
}

// Polls until the event handler has ended (true), or until it has made no
// progress inside one plugin call for the grace (false).
bool Core::awaitEventHandler(std::chrono::milliseconds grace) {
    std::uint64_t progress = deliveryWatch.callsReturned();
    std::chrono::milliseconds stuckFor{0};
    while (!eventHandlerThread->isFinished()) {
        pt::psleep(100);
        const std::uint64_t now = deliveryWatch.callsReturned();
        if (now != progress || !deliveryWatch.inPluginCall()) {
            progress = now;
            stuckFor = std::chrono::milliseconds(0);
        } else if ((stuckFor += std::chrono::milliseconds(100)) >= grace) {
            return false;
        }
    }
    return true;
}

// After the close pass: the handler's plugin was closed and should have let
// its call return. If it still has not, the stop goes on without the thread;
// the plugin's library stays loaded and the Core outlives the process's end.
void Core::leaveStuckEventHandler(const StopClock& clock) {
    const std::chrono::milliseconds grace = clock.nextGrace();
    if (awaitEventHandler(grace)) {
        eventHandlerThread.reset();
        return;
    }
    PluginLibrary* library = deliveryWatch.callingPlugin();
    wxLogWarning("%s; the stop goes on without it and leaves its library loaded",
                 longCallText(library->fileName(), deliveryWatch.callingEntry(), clock.elapsed()));
    library->pin();
    plugins.noteLibraryLeftLoaded();
    // Still running: it must neither be joined nor destroyed.
    abandonedEventHandler = eventHandlerThread.release();
}

void Core::discardQueuedEvents() {
    std::size_t discarded = discardedAtStop.exchange(0);
    for (const CoreMessage& event : eventQueue.takeAll()) {
        freePayload(event.payload);
        ++discarded;
    }
    if (discarded != 0) {
        wxLogMessage("%zu queued events were discarded at stop", discarded);
    }
}
