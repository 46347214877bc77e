#include "monitor/scheduler_thread.h"

#include <string>

#include "app/core.h"
#include "app/thread_log.h"
#include "dispatch/plugin_thread.h"
#include "monitor/system_readings.h"

void SchedulerThread::execute() {
    ThreadLogScope immediateLog;
    startReaders();
    const std::uint64_t memoryLimit = core.memoryLimit;
    const bool throttlingEnabled = core.loadMemorySetting();
    std::int64_t previous = 0;
    while (!isSignaled()) {
        relax(kPassMilliseconds);
        const std::int64_t now = readings.wallClockSeconds();
        if (previous != 0) {
            checkClock(now, previous);
            if (now == previous) continue;  // at most one heap reading a second
        } else if (throttlingEnabled) {
            core.sendMemoryState(static_cast<std::uint64_t>(now));
        }
        if (throttlingEnabled) readHeap(memoryLimit, now);
        previous = now;
    }
}

void SchedulerThread::startReaders() {
    PluginTable::Records records = core.plugins.edit();
    bool started = false;
    for (PluginRecord& plugin : records) {
        if (plugin.library && plugin.info.readPolling != 0) {
            started = startReadWorker(core, plugin) != 0 || started;
        }
    }
    // The table changes only while the main thread waits for the Core to
    // stop, and the stop sequence ends this thread before it touches it.
    if (started) core.plugins.publish(std::move(records));
}

void SchedulerThread::checkClock(std::int64_t now, std::int64_t previous) {
    const auto jump = static_cast<std::int32_t>(now - previous);
    if (jump > 1 || jump < -1) {
        core.sendText("system time changed by " + std::to_string(jump) + " seconds");
    }
}

void SchedulerThread::readHeap(std::uint64_t memoryLimit, std::int64_t now) {
    std::uint64_t allocated = 0;
    if (!readings.allocatedHeapBytes(allocated)) return;
    core.updateMemoryState(allocated > memoryLimit, static_cast<std::uint64_t>(now));
}
