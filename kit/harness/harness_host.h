// HarnessHost: the server's Core, as the harness runs it.
//
// The Core is built as the server builds it, by its own constructor (the
// router with the event queue and the payloads, the plugin manager with its
// loader, table, workers and shutdown passes, the dispatcher's fan-out, the
// monitor's housekeeping, all wired as in the server), with the harness's
// callback, payload allocator and readings. It is started and stopped in
// the Core's order, by its parts, but with no event handler thread: the
// test's thread runs the fan-out (handOut), so that what a plugin receives
// happens while the test waits for it; and the start and the stop come in
// halves, so that the harness can act between them. Main thread only,
// except the parts' own threads.
#pragma once

#include <wx/filename.h>

#include <optional>

#include "app/core.h"

namespace kit {

class HarnessHost {
public:
    HarnessHost(const wxFileName& exePath, PayloadAllocator& allocator, SystemReadings& readings,
                CoreCallback callback)
        : core(exePath, allocator, readings, callback) {}

    HarnessHost(const HarnessHost&) = delete;
    HarnessHost& operator=(const HarnessHost&) = delete;

    // The start: Load for every library; then Open for every plugin,
    // "plugins.xml" and the housekeeping.
    void load();
    void open();

    // Hands out everything queued now, as the event handler does.
    void handOut() { core.dispatchEvents(); }
    // Whether nothing is queued and no core worker runs in any plugin.
    bool idle();

    // The stop: the housekeeping ends, the queue refuses from now on,
    // readers waiting to send are let go, and every plugin is closed; then
    // every plugin is unloaded and what is left queued or retained is freed.
    void close();
    void unload();

    Router& router() { return core.router(); }
    PluginManager& plugins() { return core.plugins(); }
    Monitor& monitor() { return core.monitor(); }

private:
    Core core;
    // The stop's clock, from close() to unload().
    std::optional<StopClock> stopClock;
};

}  // namespace kit
