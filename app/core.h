// Core: the one central object of the server process, and the root that
// builds and wires its parts.
//
// The Core makes the parts, each the owner of its folder, and connects them:
// the router and everything on a message's road up to the event queue
// (bus/), the plugin manager with the plugins, their table and their workers
// (plugins/), the dispatcher with the event handler thread (dispatch/), and
// the monitor with the housekeeping thread and the memory state (monitor/).
// It runs their start and stop sequences in order and does no work of its
// own: every operation below forwards to the part that does it.
//
// Plugins reach the Core only through coreCallback, which finds it through
// theCore. The main thread constructs, starts, stops and destroys it; the
// parts say which threads enter them.
#pragma once

#include <wx/filename.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "bus/payload_allocator.h"
#include "bus/router.h"
#include "dispatch/dispatcher.h"
#include "monitor/monitor.h"
#include "monitor/system_readings.h"
#include "plugins/plugin_manager.h"
#include "plugins/stop_clock.h"
#include "tessard_plugin.h"

class TiXmlNode;

// The callback every plugin receives in Load: routes through theCore.
std::int32_t coreCallback(const CoreMessage* message, CoreStatus* status);

class Core {
public:
    // Sets theCore. Starts nothing and loads nothing. Payload copies come
    // from `payloadAllocator`, clock and heap readings from `readings`, and
    // plugins receive `callback` in Load; the server passes the heap, the
    // real readings and coreCallback. The plugin harness passes a callback
    // of its own, which watches each message and then routes it.
    explicit Core(const wxFileName& exePath,
                  PayloadAllocator& payloadAllocator = heapAllocator(),
                  SystemReadings& readings = systemReadings(),
                  CoreCallback callback = coreCallback);
    // Frees what no plugin can free any more. stop() must have run, if
    // start() did.
    ~Core();

    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // Loads and opens the plugins, publishes the status document, then
    // starts the event handler and the scheduler. Always true: failures of
    // single plugins are recorded, not fatal.
    bool start();
    // Stops both threads, closes and unloads the plugins and discards the
    // events still queued. Harmless when repeated or when start() never ran.
    void stop();

    // Every message enters here; writes status->code once and returns 0.
    std::int32_t routeMessage(const CoreMessage* message, CoreStatus* status) {
        return messageRouter.routeMessage(message, status);
    }
    // The fan-out, on the event handler thread.
    void dispatchEvents() { eventDispatcher.dispatchEvents(); }
    // Gives up `holder`'s hold on a payload copy.
    void releasePayload(const void* payload, std::uint64_t holder) {
        messageRouter.payloads().release(payload, holder);
    }
    // The core's notices, from CORE_ID.
    void sendXml(const TiXmlNode& document, std::uint64_t flags) {
        messageRouter.sendXml(document, flags);
    }
    void sendText(const std::string& text) { messageRouter.sendText(text); }
    // The memory setting and the memory state, kept by the monitor.
    bool loadMemorySetting() { return housekeeping.loadMemorySetting(); }
    void saveMemorySetting(bool enabled) { housekeeping.saveMemorySetting(enabled); }
    void updateMemoryState(bool low, std::uint64_t now) { housekeeping.updateMemoryState(low, now); }
    void sendMemoryState(std::uint64_t time) { housekeeping.sendMemoryState(time); }

    // Whether plugin code may still run after stop(): a library was left
    // loaded because a call into it did not return, or because its plugin
    // refused itself after Load. Such code may still call the Core, which
    // must then outlive the process's last moments.
    bool pluginCodeMayStillRun() const;

    // How long the stop waits for a plugin call that does not return before
    // it goes on without it. Main thread.
    void setCallGrace(std::chrono::milliseconds grace) { callGrace = grace; }

    // The parts, for the run modes and the tests.
    Router& router() { return messageRouter; }
    PluginManager& plugins() { return pluginManager; }
    const PluginManager& plugins() const { return pluginManager; }
    Dispatcher& dispatcher() { return eventDispatcher; }
    Monitor& monitor() { return housekeeping; }
    const Monitor& monitor() const { return housekeeping; }
    const wxFileName& executable() const { return exePath; }

private:
    Core(const wxFileName& exePath, PayloadAllocator& payloadAllocator, SystemReadings& readings,
         CoreCallback callback, std::uint64_t memoryLimit);
    void discardQueuedEvents();

    // The executable, absolute and normalised; its directory holds the
    // plugins, "plugins.xml" and "core.xml".
    const wxFileName exePath;
    // The parts, in the order they are made: each takes only those before it.
    Router messageRouter;
    PluginManager pluginManager;
    Dispatcher eventDispatcher;
    Monitor housekeeping;
    std::chrono::milliseconds callGrace{kCallGrace};
};

// The process-wide Core, set by its constructor and never cleared.
extern Core* theCore;
