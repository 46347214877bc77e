// FlowReports: what the housekeeping thread tells about the flow through
// the core, on each of its passes: slow plugin calls in the log, the
// statistics document to the plugins every kStatisticsInterval, and, when a
// service manager supervises the server, its status line every second and
// its watchdog's keep-alive, which stops while the event handler is stuck in
// one plugin call for half the watchdog's interval, so that the manager
// restarts a server a hung plugin has stopped.
//
// Housekeeping thread only; it reads the parts' counters (flow_figures.h).
#pragma once

#include <wx/string.h>

#include <chrono>
#include <cstdint>

#include "monitor/slow_call_watch.h"

class Dispatcher;
class Monitor;
class PluginManager;
class Router;
class ServiceHeartbeat;
struct FlowFigures;

class FlowReports {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kStatisticsInterval{10};

    FlowReports(Monitor& monitor, Router& router, const Dispatcher& dispatcher,
                ServiceHeartbeat* heartbeat, std::chrono::seconds statisticsInterval);

    void pass(Clock::time_point now);

private:
    void sendStatistics(const FlowFigures& figures);
    void tellStatus(const FlowFigures& figures, Clock::time_point now);
    void keepAlive(Clock::time_point now);

    Monitor& monitor;
    Router& router;
    const Dispatcher& dispatcher;
    ServiceHeartbeat* const heartbeat;
    const std::chrono::seconds statisticsInterval;
    SlowCallWatch slowCalls;
    const Clock::time_point started;
    Clock::time_point lastStatistics;
    Clock::time_point lastStatus;
    Clock::time_point lastKeepAlive{};
    std::uint64_t dispatchedAtLastStatus = 0;
};
