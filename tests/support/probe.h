// The probe: a test plugin whose behaviour a test scripts and whose calls a
// test inspects.
//
// The probe library (test_plugins/probe.cpp) is copied into a test's plugins
// directory under any name; each copy is a plugin of its own. In its entry
// points it looks up the ProbeControl registered under its file name in the
// test executable (tessardTestProbe, found by the dynamic linker), records
// every call and runs the hooks the test set. Everything here is inline, so
// the probe library needs nothing from the test executable but that lookup.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tessard_plugin.h"

class ProbeControl;

enum class ProbeEntry { Load, Unload, Open, Close, Read, Write, Ioctl };

struct ProbeCall {
    ProbeEntry entry;
    pthread_t thread;
    // Order of the call among the calls of every probe in the process.
    std::uint64_t order;
    ReadRequest read;
    WriteRequest write;
    IoctlRequest ioctl;
    // The records of the life-cycle calls, as the core passed them in (the
    // PluginInfo before the probe filled it in).
    LoadContext load;
    PluginInfo infoOnEntry;
    OpenParams open;
    OpenResult openResult;
    CloseParams close;
    UnloadParams unload;
    // The result record of Close or Unload, as the core passed it in.
    CoreStatus status;
    // The reply record as the core handed it in, before the probe wrote to it.
    ReadReply readReply;
    WriteReply writeReply;
    IoctlReply ioctlReply;
    // The payload's bytes as the plugin saw them during the call.
    std::string payload;
};

// What the probe does. Set before the Core loads the probe.
struct ProbeBehaviour {
    // What Load writes into PluginInfo; a zero size keeps the core's header.
    PluginInfo info{};
    std::int32_t loadResult = 0;
    std::int32_t openResult = 0;
    // Whether Write and IOCTL replies ask to retain the payload.
    bool retainWrites = false;
    bool retainIoctls = false;
    std::function<void(ProbeControl&)> onLoad, onOpen, onClose, onUnload;
    std::function<void(ProbeControl&, const ReadRequest&)> onRead;
    std::function<void(ProbeControl&, const WriteRequest&)> onWrite;
    std::function<void(ProbeControl&, const IoctlRequest&)> onIoctl;
};

class ProbeControl {
public:
    explicit ProbeControl(std::atomic<std::uint64_t>& clock) : clock(clock) {}

    ProbeBehaviour behaviour;

    // The callback the probe received in Load.
    CoreCallback callback() const { return storedCallback.load(); }
    void setCallback(CoreCallback callback) { storedCallback.store(callback); }

    // Sends a message through the probe's callback; returns the status code.
    std::int32_t send(const CoreMessage& message) const {
        CoreStatus status{sizeof(CoreStatus), 1, 0};
        storedCallback.load()(&message, &status);
        return status.code;
    }

    void record(ProbeCall call) {
        call.thread = pthread_self();
        call.order = ++clock;
        std::lock_guard<std::mutex> hold(lock);
        recorded.push_back(std::move(call));
        changed.notify_all();
    }

    std::vector<ProbeCall> calls() {
        std::lock_guard<std::mutex> hold(lock);
        return recorded;
    }

    std::vector<ProbeCall> callsOf(ProbeEntry entry) {
        std::vector<ProbeCall> matching;
        std::lock_guard<std::mutex> hold(lock);
        for (const ProbeCall& call : recorded) {
            if (call.entry == entry) matching.push_back(call);
        }
        return matching;
    }

    std::size_t count(ProbeEntry entry) { return callsOf(entry).size(); }

    // Waits until `entry` was called at least `wanted` times.
    bool waitFor(ProbeEntry entry, std::size_t wanted,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, limit, [&] { return countLocked(entry) >= wanted; });
    }

private:
    std::size_t countLocked(ProbeEntry entry) const {
        std::size_t n = 0;
        for (const ProbeCall& call : recorded) n += call.entry == entry ? 1 : 0;
        return n;
    }

    std::atomic<std::uint64_t>& clock;
    std::atomic<CoreCallback> storedCallback{nullptr};
    std::mutex lock;
    std::condition_variable changed;
    std::vector<ProbeCall> recorded;  // guarded by lock
};

// The control registered for the probe copy named `fileName`, or null.
// Defined by the test executable; weak, so that a probe loaded elsewhere
// still loads.
extern "C" ProbeControl* tessardTestProbe(const char* fileName) __attribute__((weak));
