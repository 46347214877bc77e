// SchedulerThread: the thread of the core's housekeeping (monitor.h).
//
// Once, when it starts: one Read worker for every plugin that asked for read
// calls, the heap ceiling, and the memory setting from "core.xml". Then about
// ten times a second: it announces jumps of the wall clock and, once per
// wall-clock second while throttling is enabled, compares the heap with the
// ceiling and keeps the monitor's throttling state up to date. It ends
// within one pass of the stop request. Every pass also reports the flow
// through the core (flow_reports.h).
//
// It reads the clock and the heap through the monitor's SystemReadings; the
// server passes the real ones.
#pragma once

#include <cstdint>

#include "threads/thread.h"

class Monitor;

class SchedulerThread : public pt::thread {
public:
    explicit SchedulerThread(Monitor& monitor) : pt::thread(false), monitor(monitor) {}
    // Joins the thread.
    ~SchedulerThread() override { waitfor(); }

    // The pause between passes, in milliseconds.
    static constexpr int kPassMilliseconds = 100;

protected:
    void execute() override;

private:
    void checkClock(std::int64_t now, std::int64_t previous);
    void readHeap(std::uint64_t memoryLimit, std::int64_t now);

    Monitor& monitor;
};
