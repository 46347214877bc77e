#include "app/core.h"

#include <wx/log.h>

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
    // Housekeeping first, then the fan-out, so that nothing reaches a plugin
    // that is closing.
    stopThread(schedulerThread, [] {});
    const bool handlerEnded = stopEventHandler();
    // With the fan-out gone no payload is freed any more, so a reader worker
    // waiting to send its next one would wait through its plugin's Close:
    // it is woken, and its further answers are refused.
    replies.closeAll();
    closePlugins(*this);
    // A plugin's Close is expected to make its running calls return; the
    // event handler must be out of every plugin before any is unloaded.
    if (!handlerEnded) stopThread(eventHandlerThread, [this] { eventQueue.wake(); });
    unloadPlugins(*this, callGrace);
    plugins.clear();
    discardQueuedEvents();
    eventQueue.clearWakeups();
}

// Asks the event handler to stop and waits for it. False when it spent the
// grace inside one plugin call: its deliveries are then stopped and the
// thread is left to end once the plugins are closed.
bool Core::stopEventHandler() {
    if (!eventHandlerThread) return true;
    eventHandlerThread->signal();
    eventQueue.wake();
    if (!awaitEventHandler()) {
        reportStuckDelivery();
        deliveryWatch.stopDeliveries();
        return false;
    }
    eventHandlerThread.reset();
    return true;
}

// Polls until the event handler has ended (true), or until it has made no
// progress inside one plugin call for the grace (false). A long queue that
// it keeps draining is waited for without limit.
bool Core::awaitEventHandler() {
    std::uint64_t progress = deliveryWatch.callsReturned();
    std::chrono::milliseconds stuckFor{0};
    while (!eventHandlerThread->isFinished()) {
        pt::psleep(100);
        const std::uint64_t now = deliveryWatch.callsReturned();
        if (now != progress || !deliveryWatch.inPluginCall()) {
            progress = now;
            stuckFor = std::chrono::milliseconds(0);
        } else if ((stuckFor += std::chrono::milliseconds(100)) >= callGrace) {
            return false;
        }
    }
    return true;
}

void Core::reportStuckDelivery() {
    const std::uint64_t id = deliveryWatch.callingPlugin();
    wxString name = wxString::Format("0x%llX", static_cast<unsigned long long>(id));
    const PluginTable::Snapshot table = plugins.snapshot();
    for (const PluginRecord& plugin : *table) {
        if (plugin.info.id == id) name = plugin.fileName;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(callGrace).count();
    wxLogWarning("plugin %s has not returned from a delivery for %ld seconds; closing the plugins",
                 name, static_cast<long>(seconds));
}

void Core::discardQueuedEvents() {
    for (const CoreMessage& event : eventQueue.takeAll()) freePayload(event.payload);
}
