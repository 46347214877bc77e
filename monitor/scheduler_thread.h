// SchedulerThread: the Core's housekeeping thread.
//
// Once, when it starts: one Read worker for every plugin that asked for read
// calls, the heap ceiling, and the memory setting from "core.xml". Then about
// ten times a second: it announces jumps of the wall clock and, once per
// wall-clock second while throttling is enabled, compares the heap with the
// ceiling and keeps the Core's throttling flag up to date. It ends within one
// pass of the stop request.
//
// It reads the clock and the heap through SystemReadings; the server passes
// the real ones.
#pragma once

#include <cstdint>

#include "threads/thread.h"

class Core;
class SystemReadings;

class SchedulerThread : public pt::thread {
public:
    SchedulerThread(Core& core, SystemReadings& readings)
        : pt::thread(false), core(core), readings(readings) {}
    // Joins the thread.
    ~SchedulerThread() override { waitfor(); }

    // The pause between passes, in milliseconds.
    static constexpr int kPassMilliseconds = 100;

protected:
    void execute() override;

private:
    void startReaders();
    void checkClock(std::int64_t now, std::int64_t previous);
    void readHeap(std::uint64_t memoryLimit, std::int64_t now);

    Core& core;
    SystemReadings& readings;
};
