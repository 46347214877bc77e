// DeliveryWatch: what the event handler thread is doing, as the stop
// sequence sees it.
//
// The event handler thread marks each plugin call it makes; the main thread
// reads the marks while it waits for the thread to end, to tell a thread
// that drains a long queue (it makes progress) from one stuck inside a
// single plugin call. If one is stuck, the main thread stops the deliveries
// and closes the plugins, whose Close is expected to make their calls
// return; the event handler thread then calls no plugin again.
//
// `calling`, `entry`, `inCall` and `progress` need only be recent when
// read, so they are relaxed. The library `calling` points to lives as long
// as the table snapshot the event handler thread holds while it calls it. `stopped` is sequentially consistent: a plugin's Close follows
// the store, and the event handler thread must see it as soon as that Close
// lets its call return.
#pragma once

#include <atomic>
#include <cstdint>

class PluginLibrary;

class DeliveryWatch {
public:
    void entering(PluginLibrary* library, const char* entryName) {
        calling.store(library, std::memory_order_relaxed);
        entry.store(entryName, std::memory_order_relaxed);
        inCall.store(true, std::memory_order_relaxed);
    }
    // Only the event handler thread writes, so no read-modify-write is needed.
    void left() {
        inCall.store(false, std::memory_order_relaxed);
        progress.store(progress.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

    // Whether a plugin is being called, and which, through which entry
    // point (the last one called).
    bool inPluginCall() const { return inCall.load(std::memory_order_relaxed); }
    PluginLibrary* callingPlugin() const { return calling.load(std::memory_order_relaxed); }
    const char* callingEntry() const { return entry.load(std::memory_order_relaxed); }
    // How many plugin calls have returned so far.
    std::uint64_t callsReturned() const { return progress.load(std::memory_order_relaxed); }

    void stopDeliveries() { stopped.store(true); }
    void allowDeliveries() { stopped.store(false); }
    bool deliveriesStopped() const { return stopped.load(); }

private:
    std::atomic<PluginLibrary*> calling{nullptr};
    std::atomic<const char*> entry{""};
    std::atomic<bool> inCall{false};
    std::atomic<std::uint64_t> progress{0};
    std::atomic<bool> stopped{false};
};
