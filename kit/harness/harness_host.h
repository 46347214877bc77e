// HarnessHost: the core's parts as the server wires them, with the
// harness's callback, payload allocator and readings.
//
// The parts are the server's own: the router with the event queue and the
// payloads, the plugin manager with its loader, table, workers and shutdown
// passes, the dispatcher's fan-out and the monitor's housekeeping. They are
// built and wired in the order the Core builds them, and started and
// stopped in its order, but with no event handler thread: the test's thread
// runs the fan-out (handOut), so that what a plugin receives happens while
// the test waits for it. Main thread only, except the parts' own threads.
#pragma once

#include <wx/filename.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "bus/router.h"
#include "dispatch/dispatcher.h"
#include "monitor/monitor.h"
#include "plugins/plugin_manager.h"

namespace kit {

class HarnessHost {
public:
    HarnessHost(const wxFileName& exePath, PayloadAllocator& allocator, SystemReadings& readings,
                CoreCallback callback, void* coreHandle);

    HarnessHost(const HarnessHost&) = delete;
    HarnessHost& operator=(const HarnessHost&) = delete;

    // The start, in two halves, so that the harness can wrap the entry
    // points between them: Load for every library, then Open for every
    // plugin, "plugins.xml" and the housekeeping.
    void load();
    void open();

    // Hands out everything queued now, as the event handler does.
    void handOut() { eventDispatcher.dispatchEvents(); }
    // Whether nothing is queued and no core worker runs in any plugin.
    bool idle();

    // The stop, in two halves, so that the harness can check between them:
    // the housekeeping ends, the queue refuses from now on, readers waiting
    // to send are let go, and every plugin is closed; then every plugin is
    // unloaded and what is left queued or retained is freed.
    void close();
    void unload();

    Router& router() { return messageRouter; }
    PluginManager& plugins() { return pluginManager; }
    Monitor& monitor() { return housekeeping; }

private:
    // The stop's clock, from close() to unload().
    std::optional<StopClock> stopClock;
    Router messageRouter;
    PluginManager pluginManager;
    Dispatcher eventDispatcher;
    Monitor housekeeping;
};

}  // namespace kit
