#include "monitor/scheduler_thread.h"

#include <chrono>
#include <memory>
#include <string>

#include "monitor/flow_reports.h"
#include "monitor/monitor.h"
#include "plugins/plugin_manager.h"
#include "threads/thread_log.h"

void SchedulerThread::execute() {
    ThreadLogScope immediateLog;
    monitor.plugins().startStartupWorkers();
    const std::uint64_t memoryLimit = monitor.memoryLimit();
    const bool throttlingEnabled = monitor.loadMemorySetting();
    const std::unique_ptr<FlowReports> reports = monitor.makeFlowReports();
    std::int64_t previous = 0;
    while (!isSignaled()) {
        relax(kPassMilliseconds);
        reports->pass(std::chrono::steady_clock::now());
        const std::int64_t now = monitor.readings().wallClockSeconds();
        if (previous != 0) {
            checkClock(now, previous);
            if (now == previous) continue;  // at most one heap reading a second
        } else if (throttlingEnabled) {
            monitor.sendMemoryState(static_cast<std::uint64_t>(now));
        }
        if (throttlingEnabled) readHeap(memoryLimit, now);
        previous = now;
    }
}

void SchedulerThread::checkClock(std::int64_t now, std::int64_t previous) {
    const auto jump = static_cast<std::int32_t>(now - previous);
    if (jump > 1 || jump < -1) {
        monitor.notices().sendText("system time changed by " + std::to_string(jump) + " seconds");
    }
}

void SchedulerThread::readHeap(std::uint64_t memoryLimit, std::int64_t now) {
    std::uint64_t allocated = 0;
    if (!monitor.readings().allocatedHeapBytes(allocated)) return;
    monitor.updateMemoryState(allocated > memoryLimit, static_cast<std::uint64_t>(now));
}
