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
// `idleLock` guards `activeCalls` and `retired`; `idle` is notified when the
// last call leaves. Entry and exit are one short critical section each.
#pragma once

#include <wx/dynlib.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

class PluginLibrary {
public:
    explicit PluginLibrary(std::unique_ptr<wxDynamicLibrary> library);
    // Never unmaps: only close() does, on the thread that unloads plugins.
    ~PluginLibrary();

    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    wxDynamicLibrary& dynamicLibrary() { return *library; }

    // A worker is about to call into the library. False once it is retired.
    bool enterCall();
    void leaveCall();

    // Admits no new worker from now on.
    void retire();
    // Waits up to `timeout` for the running workers to leave. True when none
    // is left inside.
    bool waitIdle(std::chrono::milliseconds timeout);
    // Unmaps the library. Only after waitIdle() reported it idle.
    void close();

private:
    std::unique_ptr<wxDynamicLibrary> library;
    std::mutex idleLock;
    std::condition_variable idle;
    int activeCalls = 0;  // guarded by idleLock
    bool retired = false;  // guarded by idleLock
};
