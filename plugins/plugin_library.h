// PluginLibrary: one opened plugin library, and the worker calls running in
// it.
//
// The plugin table's snapshots and every worker started for the plugin share
// the object. A worker enters before it is started and leaves when its call
// has returned; once the library is retired no worker enters any more, and
// the unload pass closes the library only when none is inside. A library
// whose workers do not return is left mapped for the life of the process:
// unmapping code that runs would crash the server.
//
// Read workers are bounded: at most CORE_MAX_READERS run for one plugin at a
// time, so that a flood of read requests cannot make the server create
// threads until the system refuses. The first refusal of a burst (the bound
// reached after the Read workers last fell to half of it) is told to the
// caller, so that it is reported once per burst.
//
// `idleLock` guards `activeCalls`, `readers`, `burstReported` and `retired`;
// `idle` is notified when the last call leaves. Entry and exit are one short
// critical section each.
#pragma once

#include <wx/dynlib.h>
#include <wx/string.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/plugin_statistics.h"

class PluginLibrary {
public:
    enum class Admission { Admitted, Retired, ReadersBusy, ReadersBusyFirstTime };

    PluginLibrary(std::unique_ptr<wxDynamicLibrary> library, const wxString& fileName);
    // Never unmaps: only close() does, on the thread that unloads plugins.
    ~PluginLibrary();

    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    wxDynamicLibrary& dynamicLibrary() { return *library; }
    // The library's file name, without directory; as text that lives as
    // long as the object, for reports that cannot build strings.
    const wxString& fileName() const { return name; }
    const char* fileNameText() const { return nameText.c_str(); }

    // A worker is about to call into the library; a Read worker counts
    // against the bound on Read workers. `call` names the worker's call
    // until it leaves.
    Admission enterCall(bool reader, const void* call);
    // The worker's call has returned. When it was reported as slow while it
    // ran, how long it ran, so that its end is reported too; else zero.
    std::chrono::nanoseconds leaveCall(bool reader, const void* call);

    // The worker calls running now for longer than `threshold` and not yet
    // reported: each is marked reported and returned with its entry point
    // and how long it has run. For the watch on slow calls.
    struct LongCall {
        const char* entry;
        std::chrono::nanoseconds duration;
    };
    std::vector<LongCall> newLongCalls(std::chrono::nanoseconds threshold);
    // Read workers running now.
    int readWorkersRunning();

    PluginStatistics& statistics() { return figures; }

    // Admits no new worker from now on.
    void retire();
    // The entry point a running worker is in: "Read" while a Read worker
    // runs, else "IOCTL".
    const char* busyEntry();
    // Waits up to `timeout` for the running workers to leave. True when none
    // is left inside.
    bool waitIdle(std::chrono::milliseconds timeout);
    // Unmaps the library. Only after waitIdle() reported it idle, and never
    // once it is pinned.
    void close();
    // Keeps the library mapped for the life of the process: a call into it
    // did not return.
    void pin() { pinned = true; }
    bool isPinned() const { return pinned; }

private:
    std::unique_ptr<wxDynamicLibrary> library;
    const wxString name;
    const std::string nameText;
    std::mutex idleLock;
    std::condition_variable idle;
    int activeCalls = 0;         // guarded by idleLock
    int readers = 0;             // guarded by idleLock
    bool burstReported = false;  // guarded by idleLock
    bool retired = false;        // guarded by idleLock
    // The calls of the workers inside, with when they began (steady clock,
    // nanoseconds) and whether they were reported as slow.
    struct RunningCall {
        const void* call;
        const char* entry;
        std::int64_t began;
        bool reported;
    };
    std::vector<RunningCall> running;  // guarded by idleLock
    PluginStatistics figures;
    // Main thread only: set and read by the stop sequence.
    bool pinned = false;
};
