#include "monitor/monitor.h"

#include "threads/sleep.h"

Monitor::Monitor(NoticeSink& notices, PluginManager& plugins, SystemReadings& readings,
                 std::uint64_t memoryLimit)
    : sink(notices), pluginManager(plugins), systemReadings(readings), heapCeiling(memoryLimit) {}

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
