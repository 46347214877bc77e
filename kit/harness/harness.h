// Harness: one hosted server for a plugin test, behind the C API of
// tessard_harness.h.
//
// It owns the harness's directory (the working directory while it lives),
// the server's Core (HarnessHost) with the guarded payload allocator and the
// set readings, the wrappers around the plugins' entry points, the journal,
// and the watch on threads. Plugins reach it through harnessCallback, which
// finds the one live harness; a callback that comes once it is gone is
// refused with STATUS_STOPPING.
//
// The test's thread creates, starts, drives, stops and destroys it; plugin
// threads and core workers enter fromPlugin() at any time; `breachLock`
// guards `reported`, the journal and the parts guard themselves.
#pragma once

#include <wx/log.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kit/harness/guarded_payloads.h"
#include "kit/harness/harness_host.h"
#include "kit/harness/interposer.h"
#include "kit/harness/journal.h"
#include "kit/harness/set_readings.h"
#include "kit/harness/tessard_harness.h"
#include "kit/harness/thread_watch.h"

namespace kit {

class Harness {
public:
    // The one live harness, or null when another lives or no directory can
    // be made.
    static Harness* create();
    static void destroy(Harness* harness);

    const std::string& directory() const { return serverDirectory; }
    int addPlugin(const std::string& path);
    int start();
    bool runUntilIdle(std::chrono::milliseconds limit);
    bool waitFor(int (*condition)(void*), void* context, std::chrono::milliseconds limit);
    std::size_t stop();

    std::int32_t send(const CoreMessage& message);
    std::int32_t read(std::uint64_t handle, std::uint64_t flags, std::uint64_t type,
                      const void* payload, std::uint32_t length);

    void advanceClock(std::int64_t seconds);
    void setHeap(std::uint64_t bytes) { readings.setHeap(bytes); }
    std::uint64_t heapCeiling() { return host->monitor().memoryLimit(); }
    bool throttling() { return host->monitor().throttling(); }

    struct PluginEntry {
        std::uint64_t id;
        std::string fileName;
        std::int32_t openCode;
    };
    const std::vector<PluginEntry>& pluginList() const { return loaded; }
    int slotOf(std::uint64_t id) const { return interposer.slotOfId(id); }
    Journal& records() { return journal; }

    // Every message a plugin hands to the callback comes here.
    void fromPlugin(const CoreMessage& message, CoreStatus& status, std::uintptr_t caller);

private:
    Harness(const std::string& directory, const std::string& previousDirectory);
    ~Harness();

    int senderSlot(const CoreMessage& message, std::uintptr_t caller) const;
    void checkSender(int slot, const CoreMessage& message, bool fromReader);
    // Records a breach once per kind and plugin.
    void breachOnce(TessardHarnessBreachKind kind, int slot, const std::string& text);
    std::string nameOf(int slot);
    void collectFaults();
    void checkRetained();
    void checkThreads();
    bool awaitHousekeepingPass(std::uint64_t readsBefore);

    enum class Stage { Created, Started, Stopped };

    const std::string serverDirectory;
    const std::string previousDirectory;
    Stage stage = Stage::Created;
    // Set once the stop has begun: reader slots are closed from then on, so
    // that a message under a handle says nothing about its thread.
    std::atomic<bool> stopping{false};
    std::unique_ptr<wxLog> logTarget;
    wxLog* previousLogTarget = nullptr;
    // In the order they must be made; destroyed the other way round.
    Journal journal;
    GuardedPayloads payloads;
    SetReadings readings;
    ThreadWatch threads;
    Interposer interposer;
    std::unique_ptr<HarnessHost> host;
    std::vector<PluginEntry> loaded;
    std::mutex breachLock;
    std::set<std::pair<int, int>> reported;  // guarded by breachLock
};

}  // namespace kit
