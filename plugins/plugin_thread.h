// PluginThread: a worker, which runs one call of one plugin entry point on a
// thread of its own, then deletes itself.
//
// The core starts one for a plugin's load-time IOCTL, for the scheduler's
// start-up Read of every reading plugin, and for every plugin that a read
// request reaches. The worker owns copies of everything it hands to the
// plugin, so its starter returns at once. A Read worker for a non-zero
// handle also opens its thread's reply slot, which paces the answers the
// plugin sends from that thread to one payload in flight; it reaches its
// payload copy, its reply slot and the count of readers per handle through
// the router.
//
// A worker is admitted by its plugin's library before it is created and
// leaves it when the call has returned, so the library is never unmapped
// under it; at most CORE_MAX_READERS Read workers run for one plugin. Entry
// points the library lacks are never called: no worker is started for them,
// none when its payload copy cannot be made, and none when the system cannot
// make another thread (that is reported, a few times a minute at most, and
// the server goes on).
#pragma once

#include <cstdint>
#include <memory>

#include "plugins/plugin_record.h"
#include "tessard_plugin.h"
#include "threads/thread.h"

class Router;

class PluginThread : public pt::thread {
public:
    // The index of the entry point in PluginEntryPoints.
    static constexpr std::uint32_t kRead = 4;
    static constexpr std::uint32_t kIoctl = 7;

    // Starts a worker that calls the plugin's Read with a copy of `request`
    // and of its payload. Null when none was started.
    static PluginThread* startRead(Router& router, const PluginRecord& plugin,
                                   const ReadRequest& request);
    // Starts a worker that calls the plugin's IOCTL once with `request`.
    static PluginThread* startIoctl(Router& router, const PluginRecord& plugin,
                                    const IoctlRequest& request, const IoctlReply& reply);

    std::uint32_t kind() const { return entryKind; }

protected:
    void execute() override;
    void cleanup() override;

private:
    PluginThread(Router& router, std::shared_ptr<PluginLibrary> library, PluginEntryPoint entry,
                 std::uint32_t kind);
    ~PluginThread() override = default;

    bool pacesReplies() const { return entryKind == kRead && request.read.handle != 0; }
    // Starts the worker; when the system cannot make its thread, the call
    // is skipped and reported, and the worker is abandoned.
    static PluginThread* launch(PluginThread* worker);
    // Gives back the payload copy and leaves the library.
    void release();
    // For a worker that never ran: releases and deletes it.
    void abandon();

    Router& router;
    const std::shared_ptr<PluginLibrary> library;
    const PluginEntryPoint entry;
    const std::uint32_t entryKind;
    union {
        ReadRequest read;
        IoctlRequest ioctl;
        unsigned char bytes[232];
    } request{};
    union {
        ReadReply read;
        IoctlReply ioctl;
        unsigned char bytes[112];
    } reply{};
};

// The load-time IOCTL (code 1) of a plugin that asked for it; records the
// worker in `plugin`. Returns 1 when a worker was started, else 0.
int startIoctlWorker(Router& router, PluginRecord& plugin);

// One Read with an empty request (no handle, no payload); records the worker
// in `plugin`. Returns 1 when a worker was started, else 0.
int startReadWorker(Router& router, PluginRecord& plugin);

// One Read for a read request: the message's payload, length and handle.
// Returns 1 when a worker was started, else 0.
int startRequestWorker(Router& router, const PluginRecord& plugin, const CoreMessage& request);
