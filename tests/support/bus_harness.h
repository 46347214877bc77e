// A Core for the message-path tests: probe plugins copied into a server
// directory of the test's own, loaded and opened by the real loader, with
// payload copies counted by a CountingAllocator.
//
// A test either starts the Core (the real event handler and scheduler
// threads run) or only loads and opens the plugins and then drives the
// fan-out itself with dispatch(), which the event handler thread would
// otherwise run; that keeps delivery on the test thread and its order exact.
// Either way the teardown finishes every worker first and stops the Core, so
// that no plugin call outlives the test's hooks.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/core.h"
#include "counting_allocator.h"
#include "messages.h"
#include "plugin_folder.h"
#include "plugins/plugin_manager.h"
#include "probe_registry.h"

namespace bus_harness {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kPatience{10};

// Polls `condition` until it holds or `limit` has passed.
template <typename Condition>
bool waitUntil(Condition&& condition, std::chrono::milliseconds limit = kPatience) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A one-way door between threads: closed until opened, then open for good.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> hold(lock);
        isOpen = true;
        changed.notify_all();
    }
    // True when the gate opened within `limit`.
    bool wait(std::chrono::milliseconds limit = kPatience) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, limit, [this] { return isOpen; });
    }
    bool opened() {
        std::lock_guard<std::mutex> hold(lock);
        return isOpen;
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    bool isOpen = false;  // guarded by lock
};

// A PluginInfo with `id` and the same `mask` in every entry of eventMasks.
inline PluginInfo infoWithMasks(std::uint64_t id, std::uint64_t mask, bool writeEvents) {
    PluginInfo info = pluginInfo(id);
    for (std::uint64_t& entry : info.eventMasks) entry = mask;
    info.writeEvents = writeEvents ? 1 : 0;
    return info;
}

// A plugin that takes events through Write when a message's flags select
// `entry` of its masks, which holds `mask`.
inline PluginInfo writerOn(std::uint64_t id, int entry, std::uint64_t mask = UINT64_MAX) {
    PluginInfo info = pluginInfo(id);
    info.eventMasks[entry] = mask;
    info.writeEvents = 1;
    return info;
}

// A plugin that takes the read requests that select `entry` of its masks.
inline PluginInfo readerOn(std::uint64_t id, int entry, std::uint64_t mask = UINT64_MAX) {
    PluginInfo info = pluginInfo(id);
    info.eventMasks[entry] = mask;
    info.readPolling = 1;
    return info;
}

// The Write calls `probe` received for events of `type`.
inline std::vector<ProbeCall> writesOfType(ProbeControl& probe, std::uint64_t type) {
    std::vector<ProbeCall> found;
    for (const ProbeCall& call : probe.callsOf(ProbeEntry::Write)) {
        if (call.write.type == type) found.push_back(call);
    }
    return found;
}

// The event IOCTL calls (codes 2 and 3) whose payload is `payload`.
inline std::vector<ProbeCall> ioctlsCarrying(ProbeControl& probe, const std::string& payload) {
    std::vector<ProbeCall> found;
    for (const ProbeCall& call : probe.callsOf(ProbeEntry::Ioctl)) {
        if (call.ioctl.code != IOCTL_ON_LOAD && call.payload == payload) found.push_back(call);
    }
    return found;
}

// The Read calls `probe` received for read requests naming `handle`.
inline std::vector<ProbeCall> readsFor(ProbeControl& probe, std::uint64_t handle) {
    std::vector<ProbeCall> found;
    for (const ProbeCall& call : probe.callsOf(ProbeEntry::Read)) {
        if (call.read.handle == handle) found.push_back(call);
    }
    return found;
}

// A read request (source 0) of `type`, selecting through `flags`.
inline CoreMessage readRequest(std::uint64_t handle, std::uint64_t flags, std::uint64_t type,
                               const std::string* payload = nullptr) {
    CoreMessage request = message(0, flags, type, payload);
    request.handle = handle;
    return request;
}

inline CoreMessage cancel(std::uint64_t handle) {
    CoreMessage request = message(0, MSG_CANCEL, 0);
    request.handle = handle;
    return request;
}

inline CoreMessage release(std::uint64_t holder, const void* payload) {
    CoreMessage given = message(holder, MSG_RELEASE, 0);
    given.payload = payload;
    return given;
}

// Routes `message` as a plugin would, through the callback; the status code.
inline std::int32_t route(const CoreMessage& message) {
    CoreStatus status{sizeof(CoreStatus), 1, 0};
    coreCallback(&message, &status);
    return status.code;
}

class MessagePathTest : public testing::Test {
protected:
    MessagePathTest() {
        // Throttling stays off unless a test sets it: the scheduler of a
        // started Core must not refuse sequenced records on its own.
        writeFile(folder / "core.xml",
                  "<?xml ?><Zelt Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"0\" /></Zelt>");
    }

    void TearDown() override {
        finishWorkers();
        core->stop();
        forgetProbes();
    }

    // Registers the probe copy `fileName` with `info` and installs it.
    ProbeControl& addProbe(const std::string& fileName, const PluginInfo& info) {
        ProbeControl& probe = probeNamed(fileName);
        probe.behaviour.info = info;
        folder.install("probe", fileName);
        return probe;
    }

    // Loads and opens the plugins without starting any thread of the Core,
    // then hands the status notice that openPlugins queued to the plugins.
    void load() {
        ASSERT_TRUE(core->plugins().loadPlugins());
        ASSERT_TRUE(core->plugins().openPlugins());
        dispatch();
    }

    void start() { ASSERT_TRUE(core->start()); }

    // What the event handler thread does when it wakes.
    void dispatch() { core->dispatchEvents(); }

    // The table's record of the plugin loaded from `fileName`.
    PluginRecord recordOf(const std::string& fileName) {
        const PluginTable::Snapshot table = core->plugins().snapshot();
        for (const PluginRecord& plugin : *table) {
            if (plugin.fileName == fileName) return plugin;
        }
        ADD_FAILURE() << fileName << " is not in the plugin table";
        return PluginRecord();
    }

    // Waits until no worker runs in any plugin's library. A worker is
    // admitted by its library before the call that starts it returns, so
    // after this every worker started so far has returned from its call,
    // closed its reply slot and freed its payload copy.
    bool workersDone(std::chrono::milliseconds limit = kPatience) {
        const auto deadline = Clock::now() + limit;
        const PluginTable::Snapshot table = core->plugins().snapshot();
        for (const PluginRecord& plugin : *table) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now());
            if (!plugin.library->waitIdle(std::max(left, std::chrono::milliseconds(0)))) {
                return false;
            }
        }
        return true;
    }

    // Lets every worker end, also one that a failed test left waiting for
    // its previous payload: queued events are dispatched (when no event
    // handler thread does it) and payloads still held are given up.
    void finishWorkers() {
        const auto deadline = Clock::now() + kPatience;
        while (!workersDone(std::chrono::milliseconds(50)) && Clock::now() < deadline) {
            if (!core->dispatcher().isRunning()) dispatch();
            for (std::uint64_t payload : core->router().payloads().holders().clear()) {
                core->router().payloads().slots().payloadFreed(reinterpret_cast<const void*>(payload));
                allocator.release(reinterpret_cast<void*>(payload));
            }
        }
    }

    PluginFolder folder;
    WorkingDirectory cwd{folder.root()};
    CountingAllocator allocator;
    std::unique_ptr<Core> core = std::make_unique<Core>(folder.exePath(), allocator);
};

}  // namespace bus_harness
