// What the scheduler reads of the system: the wall clock and the heap
// statistic, behind one interface so that tests can drive both. The server
// only ever uses systemReadings().
#pragma once

#include <cstdint>

class SystemReadings {
public:
    virtual ~SystemReadings() = default;
    // Whole seconds since the epoch.
    virtual std::int64_t wallClockSeconds() = 0;
    // Heap bytes the process has allocated and not freed; false when the
    // allocator cannot tell.
    virtual bool allocatedHeapBytes(std::uint64_t& bytes) = 0;
};

// The real readings: time(2), and tcmalloc's "generic.current_allocated_bytes"
// (which the sanitizer builds, without tcmalloc, cannot read).
SystemReadings& systemReadings();
