#include "monitor/flow_reports.h"

#include <tinyxml.h>

#include <cstdio>
#include <string>

#include "dispatch/dispatcher.h"
#include "monitor/flow_figures.h"
#include "monitor/monitor.h"
#include "monitor/service_heartbeat.h"
#include "monitor/statistics_document.h"
#include "plugins/plugin_manager.h"

namespace {

constexpr std::chrono::seconds kStatusEvery{1};

// "4 plugins, 1520 events/s, 3 refused, slowest p99 64 µs (recorder.so)".
std::string statusLine(const FlowFigures& figures, double eventsPerSecond) {
    const PluginFlow* slowest = nullptr;
    std::uint64_t slowestP99 = 0;
    for (const PluginFlow& plugin : figures.plugins) {
        for (const CallTimes::Figures* calls : {&plugin.writes, &plugin.ioctls}) {
            if (calls->sampled == 0 || calls->p99Microseconds < slowestP99) continue;
            slowest = &plugin;
            slowestP99 = calls->p99Microseconds;
        }
    }
    char line[256];
    std::snprintf(line, sizeof(line), "%zu plugins, %.0f events/s, %llu refused",
                  figures.plugins.size(), eventsPerSecond,
                  static_cast<unsigned long long>(figures.eventsRefused));
    std::string text = line;
    if (slowest != nullptr) {
        std::snprintf(line, sizeof(line), ", slowest p99 %llu µs (",
                      static_cast<unsigned long long>(slowestP99));
        text += line + slowest->fileName.utf8_string() + ")";
    }
    return text;
}

}  // namespace

FlowReports::FlowReports(Monitor& monitor, Router& router, const Dispatcher& dispatcher,
                         ServiceHeartbeat* heartbeat, std::chrono::seconds statisticsInterval)
    : monitor(monitor),
      router(router),
      dispatcher(dispatcher),
      heartbeat(heartbeat),
      statisticsInterval(statisticsInterval),
      slowCalls(dispatcher.watch()),
      started(Clock::now()),
      lastStatistics(started),
      lastStatus(started) {}

void FlowReports::pass(Clock::time_point now) {
    const PluginTable::Snapshot table = monitor.plugins().snapshot();
    slowCalls.look(*table, now);
    if (heartbeat != nullptr) keepAlive(now);
    const bool statisticsDue = now - lastStatistics >= statisticsInterval;
    const bool statusDue = heartbeat != nullptr && now - lastStatus >= kStatusEvery;
    if (!statisticsDue && !statusDue) return;
    const FlowFigures figures = gatherFlowFigures(router, dispatcher, *table);
    if (statisticsDue) {
        lastStatistics = now;
        sendStatistics(figures);
    }
    if (statusDue) tellStatus(figures, now);
}

void FlowReports::sendStatistics(const FlowFigures& figures) {
    ServerReadings readings;
    readings.time = monitor.readings().wallClockSeconds();
    readings.uptime =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count();
    readings.interval = statisticsInterval.count();
    readings.throttling = monitor.throttling();
    std::uint64_t heap = 0;
    if (monitor.readings().allocatedHeapBytes(heap)) readings.heapBytes = heap;
    readings.heapCeiling = monitor.memoryLimit();
    // The count of notices includes this one.
    FlowFigures counted = figures;
    ++counted.noticesSent;
    TiXmlDocument document;
    buildStatisticsDocument(document, counted, readings);
    monitor.notices().sendXml(document, MSG_SELECT_7, MSG_TYPE_STATISTICS);
}

void FlowReports::tellStatus(const FlowFigures& figures, Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - lastStatus).count();
    const std::uint64_t handedOut = figures.eventsDispatched - dispatchedAtLastStatus;
    heartbeat->status(statusLine(figures, static_cast<double>(handedOut) / seconds));
    dispatchedAtLastStatus = figures.eventsDispatched;
    lastStatus = now;
}

void FlowReports::keepAlive(Clock::time_point now) {
    const auto interval = heartbeat->watchdogInterval();
    if (interval.count() == 0) return;
    // Stuck for half the interval: the keep-alives stop, and the manager
    // acts once the interval is over.
    if (slowCalls.handlerCallLength(now) >= interval / 2) return;
    if (now - lastKeepAlive < interval / 4) return;
    heartbeat->watchdog();
    lastKeepAlive = now;
}
