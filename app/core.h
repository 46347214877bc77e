// Core: the one central object of the server process.
//
// It owns the plugin table, the event queue, the router's tables and the two
// long-lived threads, and it is the home of the message callback: plugins
// reach the Core only through coreCallback, which finds it through theCore.
// The main thread constructs, starts, stops and destroys it; the router runs
// on any thread; the fan-out on the event handler thread; housekeeping on
// the scheduler thread.
//
// Each shared member either guards itself (its own lock, inside its class)
// or says below why it needs none. No member lock is held while another is
// taken, and none during a plugin call.
#pragma once

#include <wx/filename.h>
#include <wx/string.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus/payload_allocator.h"
#include "bus/refusal_ledger.h"
#include "bus/reply_table.h"
#include "bus/sequence_table.h"
#include "dispatch/delivery_watch.h"
#include "dispatch/event_queue.h"
#include "dispatch/payload_holders.h"
#include "monitor/system_readings.h"
#include "plugins/plugin_table.h"
#include "plugins/shutdown.h"
#include "plugins/stop_clock.h"
#include "tessard_plugin.h"

class EventHandlerThread;
class SchedulerThread;
class SystemReadings;
class TiXmlNode;

class Core {
public:
    // Sets theCore. Starts nothing and loads nothing. Payload copies come
    // from `payloadAllocator`, clock and heap readings from `readings`; the
    // server passes the heap and the real readings.
    explicit Core(const wxFileName& exePath,
                  PayloadAllocator& payloadAllocator = heapAllocator(),
                  SystemReadings& readings = systemReadings());
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

    // The router (bus/router.cpp): every message enters here. Writes
    // status->code once and returns 0.
    std::int32_t routeMessage(const CoreMessage* message, CoreStatus* status);

    // The fan-out (dispatch/fan_out.cpp), on the event handler thread.
    void dispatchEvents();
    // Gives up `holder`'s hold on a payload; the last hold frees it and lets
    // the reader that sent it send its next payload.
    void releasePayload(const void* payload, std::uint64_t holder);

    // The core's notices (bus/notices.cpp), from CORE_ID.
    void sendXml(const TiXmlNode& document, std::uint64_t flags);
    void sendText(const std::string& text);

    // The memory setting in "core.xml" (monitor/memory_setting.cpp), read,
    // rewritten and sent by the scheduler thread when it starts.
    bool loadMemorySetting();
    void saveMemorySetting(bool enabled);
    // Memory throttling (monitor/memory_state.cpp), scheduler thread only.
    void updateMemoryState(bool low, std::uint64_t now);
    void sendMemoryState(std::uint64_t time);

    // Where payload copies come from; fixed for the Core's life.
    PayloadAllocator& payloadAllocator;
    // The clock and heap readings the scheduler takes; fixed for the Core's life.
    SystemReadings& readings;
    // Guards itself (queueLock); its trigger lives as long as the Core.
    EventQueue eventQueue;
    // Guards itself (snapshots). Changed by the main thread in start and
    // stop; read by any thread.
    PluginTable plugins;
    // File names of libraries that could not be opened. Main thread only.
    std::vector<wxString> failedPlugins;
    // Main thread only: set by start, cleared by stop.
    std::unique_ptr<EventHandlerThread> eventHandlerThread;
    std::unique_ptr<SchedulerThread> schedulerThread;
    // An event handler the stop gave up on, still inside a plugin call:
    // never joined nor destroyed. Main thread only.
    EventHandlerThread* abandonedEventHandler = nullptr;
    // Guards itself. CORE_ID stands for the event handler's own hold.
    LockedMultimap payloadHolders{CORE_ID};
    // Guards itself (sequenceLock).
    SequenceTable sequenceTable;
    // Guards itself (replyLock): cancelled handles and reply waiters.
    ReplyTable replies;
    // The executable, absolute and normalised. Written only by the constructor.
    const wxFileName exePath;
    // Written by the scheduler thread only; read by the router on any thread.
    // Relaxed order suffices: the flag orders nothing else.
    std::atomic<bool> throttling{false};
    // Scheduler thread only.
    std::uint64_t lastLowMemoryTime = 0;
    // What the event handler thread is doing; guards itself.
    DeliveryWatch deliveryWatch;
    // The events the event handler thread is handing out. Its storage goes
    // back and forth with the queue's, so it is kept from batch to batch.
    // Event handler thread only.
    EventQueue::Batch dispatchBatch;
    // How long the stop waits for a plugin call that does not return before
    // it goes on without it: the event handler stuck in one call makes it
    // close the plugins early, a Close, an Unload or a worker makes it leave
    // that plugin's library loaded. Main thread.
    std::chrono::milliseconds callGrace{kCallGrace};
    // The heap ceiling, from the machine and the server's control group;
    // the event queue may hold a quarter of it. Written only by the
    // constructor.
    const std::uint64_t memoryLimit;
    // Who had messages refused because the event queue was full.
    RefusalLedger queueRefusals;
    // Events the event handler discarded from its last batch at stop.
    std::atomic<std::size_t> discardedAtStop{0};

    // Whether plugin code may still run after stop(): a library was left
    // loaded because a call into it did not return, or because its plugin
    // refused itself after Load. The Core must then outlive the process's
    // last moments, since such code may still call it.
    bool pluginCodeMayStillRun() const;

private:
    std::int32_t route(const CoreMessage& message);
    void startReaders(const CoreMessage& request);
    std::int32_t queueEvent(const CoreMessage& message);
    bool attachPayloadCopy(CoreMessage& event);
    bool paceReader(const CoreMessage& event);
    void fanOut(const CoreMessage& event, const PluginTable::Records& table);
    void sendNotice(const CoreMessage& notice);
    bool stopEventHandler(const StopClock& clock);
    bool awaitEventHandler(std::chrono::milliseconds grace);
    void leaveStuckEventHandler(const StopClock& clock);
    void discardQueuedEvents();
    void freePayload(const void* payload);
};

// The process-wide Core, set by its constructor and never cleared.
extern Core* theCore;

// The callback every plugin receives in Load: routes through theCore.
std::int32_t coreCallback(const CoreMessage* message, CoreStatus* status);
