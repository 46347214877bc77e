// Monitor: the core's housekeeping, and the owner of its memory state.
//
// It runs the scheduler thread (scheduler_thread.h): the start-up Reads, the
// memory setting in "core.xml" (memory_setting.cpp), the announcement of
// clock jumps, and once a second, while throttling is enabled, the heap
// reading against the ceiling that keeps the throttling state
// (memory_state.cpp). The router reads that state through ThrottleGauge; the
// plugins learn of it through notices the monitor sends through a
// NoticeSink. It reads the clock and the heap through SystemReadings. On
// every pass the scheduler also reports the flow through the core
// (flow_reports.h): slow plugin calls, the statistics document, and the
// service manager's status and watchdog.
//
// `throttlingFlag` is written by the scheduler thread only (tests may set
// it) and read by the router on any thread; relaxed order suffices, since
// the flag orders nothing else. `lastLowTime` belongs to the scheduler
// thread; the rest is fixed at construction or belongs to the main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "bus/notice_sink.h"
#include "bus/throttle_gauge.h"
#include "monitor/scheduler_thread.h"
#include "monitor/system_readings.h"

class Dispatcher;
class FlowReports;
class PluginManager;
class Router;
class ServiceHeartbeat;

class Monitor : public ThrottleGauge {
public:
    Monitor(Router& router, PluginManager& plugins, const Dispatcher& dispatcher,
            SystemReadings& readings, std::uint64_t memoryLimit);
    ~Monitor();

    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Who hears how the server fares, besides the log and the plugins: the
    // service manager, in the daemon. Before start().
    void setHeartbeat(ServiceHeartbeat* supervisor) { heartbeat = supervisor; }
    // How often the statistics document is sent; tests shorten it. Before
    // start().
    void setStatisticsInterval(std::chrono::seconds interval) { statisticsInterval = interval; }

    // Starts the scheduler thread; stop() ends it within one pass.
    void start();
    void stop();
    bool isRunning() const { return scheduler != nullptr; }

    // The memory setting, read, rewritten and sent when the scheduler starts.
    bool loadMemorySetting();
    void saveMemorySetting(bool enabled);
    // Memory throttling, scheduler thread only.
    void updateMemoryState(bool low, std::uint64_t now);
    void sendMemoryState(std::uint64_t time);

    bool throttling() const override { return throttlingFlag.load(std::memory_order_relaxed); }
    // The flag itself, for tests that switch throttling on their own.
    std::atomic<bool>& throttlingSwitch() { return throttlingFlag; }
    std::uint64_t lastLowMemoryTime() const { return lastLowTime; }
    std::uint64_t memoryLimit() const { return heapCeiling; }

    // What the scheduler thread works with.
    NoticeSink& notices() { return sink; }
    PluginManager& plugins() { return pluginManager; }
    SystemReadings& readings() { return systemReadings; }
    // The reports of the flow, for the scheduler thread that makes them.
    std::unique_ptr<FlowReports> makeFlowReports();

private:
    Router& router;
    NoticeSink& sink;
    const Dispatcher& dispatcher;
    PluginManager& pluginManager;
    SystemReadings& systemReadings;
    const std::uint64_t heapCeiling;
    std::atomic<bool> throttlingFlag{false};
    std::uint64_t lastLowTime = 0;
    ServiceHeartbeat* heartbeat = nullptr;
    std::chrono::seconds statisticsInterval;
    std::unique_ptr<SchedulerThread> scheduler;
};
