#include "app/core.h"

#include <wx/log.h>

#include "monitor/memory_limit.h"
#include "threads/thread_log.h"

Core* theCore = nullptr;

std::int32_t coreCallback(const CoreMessage* message, CoreStatus* status) {
    return theCore->routeMessage(message, status);
}

Core::Core(const wxFileName& exePath, PayloadAllocator& payloadAllocator,
           SystemReadings& readings, CoreCallback callback)
    : Core(exePath, payloadAllocator, readings, callback, memoryLimitFor(readMemoryFacts())) {}

// The event queue may hold a quarter of the heap ceiling; the monitor
// compares the heap with it. The router asks the monitor whether to
// throttle, and hands read requests to the plugin manager.
Core::Core(const wxFileName& exePath, PayloadAllocator& payloadAllocator,
           SystemReadings& readings, CoreCallback callback, std::uint64_t memoryLimit)
    : exePath(exePath),
      messageRouter(payloadAllocator, memoryLimit / 4),
      pluginManager(exePath, messageRouter, callback, this),
      eventDispatcher(messageRouter, pluginManager),
      housekeeping(messageRouter, pluginManager, eventDispatcher, readings, memoryLimit) {
    theCore = this;
    messageRouter.readThrottlingFrom(housekeeping);
    messageRouter.startReadersWith(pluginManager);
}

Core::~Core() {
    // Events a plugin sent after stop() are freed here, and so are payloads
    // that plugins retained and never gave back: no plugin is left to.
    discardQueuedEvents();
    messageRouter.payloads().freeRetained();
}

bool Core::start() {
    ThreadLogScope::prepare();
    messageRouter.reopen();
    pluginManager.clear();
    pluginManager.loadPlugins();
    pluginManager.openPlugins();
    eventDispatcher.start();
    housekeeping.start();
    return true;
}

void Core::stop() {
    const StopClock clock(callGrace);
    // Housekeeping first, then the fan-out, so that nothing reaches a plugin
    // that is closing.
    housekeeping.stop();
    const bool handlerEnded = eventDispatcher.stop(clock);
    // With the fan-out gone no payload is freed any more, so a reader worker
    // waiting to send its next one would wait through its plugin's Close:
    // it is woken, and its further answers are refused.
    messageRouter.refuseReplies();
    pluginManager.closePlugins(clock);
    // A plugin's Close is expected to make its running calls return; the
    // event handler must be out of every plugin before any is unloaded.
    if (!handlerEnded) eventDispatcher.leaveIfStuck(clock);
    pluginManager.unloadPlugins(clock);
    pluginManager.clear();
    discardQueuedEvents();
    messageRouter.events().clearWakeups();
    messageRouter.refusals().reportTotals();
}

bool Core::pluginCodeMayStillRun() const {
    return pluginManager.pluginCodeMayStillRun() || eventDispatcher.leftRunning();
}

void Core::discardQueuedEvents() {
    const std::size_t discarded = eventDispatcher.takeDiscarded() + messageRouter.discardQueued();
    if (discarded != 0) wxLogMessage("%zu queued events were discarded at stop", discarded);
}
