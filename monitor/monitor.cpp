#include "monitor/monitor.h"

#include "bus/router.h"
#include "monitor/flow_reports.h"
#include "threads/sleep.h"

Monitor::Monitor(Router& router, PluginManager& plugins, const Dispatcher& dispatcher,
                 SystemReadings& readings, std::uint64_t memoryLimit)
    : router(router),
      sink(router),
      dispatcher(dispatcher),
      pluginManager(plugins),
      systemReadings(readings),
      heapCeiling(memoryLimit),
      statisticsInterval(FlowReports::kStatisticsInterval) {}

Monitor::~Monitor() { stop(); }

void Monitor::start() {
    scheduler = std::make_unique<SchedulerThread>(*this);
    scheduler->start();
}

void Monitor::stop() {
    if (!scheduler) return;
    scheduler->signal();
    while (!scheduler->isFinished()) pt::psleep(100);
    scheduler.reset();
}

std::unique_ptr<FlowReports> Monitor::makeFlowReports() {
    return std::make_unique<FlowReports>(*this, router, dispatcher, heartbeat, statisticsInterval);
}
