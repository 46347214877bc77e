// The event fan-out: how one queued event reaches every plugin that takes it.
//
// Runs on the event handler thread only. Each event is handed to the plugins
// one after the other, in table order, and to all of them before the next
// event is taken.
// The payload is shared by every receiver; it is held under CORE_ID for the
// whole walk, under a plugin's id for the length of that plugin's call, and
// beyond it while the plugin retains it. No lock is held during a call.

#include <time.h>

#include <cstring>

#include "bus/router.h"
#include "bus/subscription.h"
#include "dispatch/dispatcher.h"
#include "plugins/call_site.h"
#include "plugins/plugin_manager.h"

namespace {

enum class Delivery { None, IoctlToOthers, IoctlToAll, Write };

// The first rule that applies: broadcasts by IOCTL whatever the masks, then
// Write for a plugin that asked for Writes and subscribes to the event.
Delivery deliveryFor(const PluginRecord& plugin, const CoreMessage& event, std::uint64_t key) {
    if ((event.flags & MSG_TO_OTHERS) != 0 && plugin.info.id != event.source) {
        return Delivery::IoctlToOthers;
    }
    if ((event.flags & MSG_TO_ALL) != 0) return Delivery::IoctlToAll;
    if (plugin.info.writeEvents != 0 &&
        subscription::selectsAny(plugin.info.eventMasks, event.flags, key)) {
        return Delivery::Write;
    }
    return Delivery::None;
}

std::uint64_t addressOf(const void* payload) { return reinterpret_cast<std::uintptr_t>(payload); }

// The requests every receiver of one event is handed. Plugins take them by
// const pointer, so one copy built per event serves the whole walk.
struct EventRequests {
    explicit EventRequests(const CoreMessage& event);
    WriteRequest write;
    IoctlRequest toOthers;
    IoctlRequest toAll;
};

IoctlRequest ioctlRequestFor(const CoreMessage& event, std::uint32_t code) {
    IoctlRequest request;
    request.size = sizeof(IoctlRequest);
    request.version = 1;
    request.code = code;
    request.reserved = 0;
    request.payloadRef = PayloadRef{sizeof(PayloadRef), 1, event.length, 0, event.payload};
    return request;
}

EventRequests::EventRequests(const CoreMessage& event)
    : toOthers(ioctlRequestFor(event, IOCTL_TO_OTHERS)), toAll(ioctlRequestFor(event, IOCTL_TO_ALL)) {
    write.size = sizeof(WriteRequest);
    write.version = 1;
    write.reserved0 = 0;
    write.onWorker = 0;
    std::memset(write.padding0, 0, sizeof(write.padding0));
    write.length = event.length;
    write.padding1 = 0;
    write.payload = event.payload;
    write.source = event.source;
    write.handle = event.handle;
    write.flags = event.flags;
    write.type = event.type;
    static_assert(sizeof(write.extra) == sizeof(event.extra), "extra areas differ");
    std::memcpy(write.extra, event.extra, sizeof(write.extra));
}

// Calls the plugin's IOCTL; true when the plugin retains the payload.
bool callIoctl(const PluginRecord& plugin, const IoctlRequest& request) {
    IoctlReply reply{};
    reply.size = sizeof(IoctlReply);
    reply.version = 1;
    reply.code = request.code;
    reply.empty = RecordHeader{sizeof(RecordHeader), 1};
    plugin.entryPoints.IOCTL(&request, &reply);
    return reply.retain != 0;
}

// Calls the plugin's Write; true when the plugin retains the payload.
bool callWrite(const PluginRecord& plugin, const WriteRequest& request) {
    WriteReply reply{};
    reply.size = sizeof(WriteReply);
    reply.version = 1;
    plugin.entryPoints.Write(&request, &reply);
    return reply.retain != 0;
}

// Whether the library exports what the delivery calls. One that does not was
// reported when it was loaded; its deliveries are skipped.
bool canDeliver(const PluginRecord& plugin, Delivery delivery) {
    switch (delivery) {
        case Delivery::IoctlToOthers:
        case Delivery::IoctlToAll: return plugin.entryPoints.IOCTL != nullptr;
        case Delivery::Write: return plugin.entryPoints.Write != nullptr;
        case Delivery::None: break;
    }
    return false;
}

const char* entryNameOf(Delivery delivery) { return delivery == Delivery::Write ? "Write" : "IOCTL"; }

// Calls the plugin; true when it retains the payload.
bool callPlugin(const PluginRecord& plugin, const EventRequests& requests, Delivery delivery) {
    InPluginCall site(plugin.library->fileNameText(), entryNameOf(delivery));
    switch (delivery) {
        case Delivery::Write: return callWrite(plugin, requests.write);
        case Delivery::IoctlToOthers: return callIoctl(plugin, requests.toOthers);
        case Delivery::IoctlToAll: return callIoctl(plugin, requests.toAll);
        case Delivery::None: break;
    }
    return false;
}

}  // namespace

void Dispatcher::dispatchEvents() {
    Payloads& payloads = router.payloads();
    while (queue.takeBatch(batch)) {
        // The table changes only while this thread does not run, so one
        // snapshot serves the whole batch.
        const PluginTable::Snapshot table = plugins.snapshot();
        for (const CoreMessage& event : batch) {
            // Once the stop's drain is over, or deliveries were stopped for
            // a stuck call, the rest is discarded, and counted.
            if (deliveryWatch.deliveriesStopped() || drainOver()) {
                payloads.free(event.payload);
                discardedAtStop.fetch_add(1, std::memory_order_relaxed);
                discarded.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            fanOut(event, *table);
        }
    }
}

namespace {

std::int64_t monotonicNanoseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

void Dispatcher::fanOut(const CoreMessage& event, const PluginTable::Records& table) {
    PayloadHolders& holders = router.payloads().holders();
    const std::uint64_t key = subscription::deliveryKey(event.type);
    const EventRequests requests(event);
    // One walk in CallTimes::kSampleEvery has its calls timed; the others
    // only count them.
    const std::uint64_t walk = dispatched.load(std::memory_order_relaxed);
    dispatched.store(walk + 1, std::memory_order_relaxed);
    const bool timed = walk % CallTimes::kSampleEvery == 0;
    // The event handler's own hold keeps the buffer alive for the whole walk,
    // even when a plugin gives its hold back early from another thread.
    holders.beginWalk(addressOf(event.payload), event.length);
    std::int64_t began = timed ? monotonicNanoseconds() : 0;
    for (const PluginRecord& plugin : table) {
        if (!plugin.library) continue;
        if (deliveryWatch.deliveriesStopped()) break;
        const Delivery delivery = deliveryFor(plugin, event, key);
        if (!canDeliver(plugin, delivery)) continue;
        holders.holdForCall(plugin.info.id);
        deliveryWatch.entering(plugin.library.get(), entryNameOf(delivery));
        const bool retained = callPlugin(plugin, requests, delivery);
        std::int64_t took = -1;
        if (timed) {
            // One clock reading a call: the end of one call begins the next.
            const std::int64_t ended = monotonicNanoseconds();
            took = ended - began;
            began = ended;
        }
        deliveryWatch.left();
        holders.endCall(plugin.info.id, retained);
        plugin.library->statistics().delivered(delivery == Delivery::Write, event.length, took);
    }
    if (holders.endWalk()) router.payloads().free(event.payload);
}
