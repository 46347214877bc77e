#include "plugins/plugin_thread.h"

#include <wx/log.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "bus/router.h"
#include "plugins/call_site.h"
#include "plugins/call_words.h"
#include "threads/report_gate.h"
#include "threads/thread_log.h"

namespace {

const char* entryName(std::uint32_t kind) { return kind == PluginThread::kRead ? "Read" : "IOCTL"; }

// Whether a worker may call into the plugin now; the first refusal of a
// burst of read requests beyond the bound is reported.
bool admit(const PluginRecord& plugin, std::uint32_t kind, const PluginThread* worker) {
    switch (plugin.library->enterCall(kind == PluginThread::kRead, worker)) {
        case PluginLibrary::Admission::Admitted:
            return true;
        case PluginLibrary::Admission::ReadersBusyFirstTime: {
            AnyThreadLogScope immediateLog;
            wxLogWarning("plugin %s has %d Read calls running; read requests start no more for it "
                         "until half of them have returned",
                         plugin.fileName, CORE_MAX_READERS);
            return false;
        }
        case PluginLibrary::Admission::ReadersBusy:
        case PluginLibrary::Admission::Retired:
            return false;
    }
    return false;
}

// A flood that exhausts the system's threads fails every start at once; one
// line every few seconds says so.
void reportNotStarted(const PluginLibrary& library, std::uint32_t kind, int error) {
    static pt::ReportGate gate(std::chrono::seconds(5));
    std::uint64_t held = 0;
    if (!gate.admit(held)) return;
    AnyThreadLogScope immediateLog;
    wxLogWarning("could not start a worker thread for plugin %s (%s); its %s call is skipped "
                 "(%llu more skipped calls since the last report)",
                 library.fileName(), std::strerror(error), entryName(kind),
                 static_cast<unsigned long long>(held));
}

}  // namespace

PluginThread::PluginThread(Router& router, std::shared_ptr<PluginLibrary> library,
                           PluginEntryPoint entry, std::uint32_t kind)
    : pt::thread(true), router(router), library(std::move(library)), entry(entry), entryKind(kind) {}

PluginThread* PluginThread::startRead(Router& router, const PluginRecord& plugin,
                                      const ReadRequest& request) {
    if (!plugin.entryPoints.Read) return nullptr;
    auto* worker = new PluginThread(router, plugin.library, plugin.entryPoints.Read, kRead);
    if (!admit(plugin, kRead, worker)) {
        delete worker;
        return nullptr;
    }
    worker->request.read = request;
    worker->request.read.payload = nullptr;
    // Counted from now on, so that a cancel that comes before the worker
    // runs is kept for it.
    if (request.handle != 0) router.cancels().readerStarting(request.handle);
    worker->reply.read = ReadReply{sizeof(ReadReply), 1, {}};
    if (request.payload == nullptr || request.length == 0) {
        worker->request.read.length = 0;
        return launch(worker);
    }
    // From here on the request's payload is the worker's own copy.
    worker->request.read.payload = router.payloads().copy(request.payload, request.length);
    if (worker->request.read.payload == nullptr) {
        worker->abandon();
        return nullptr;
    }
    return launch(worker);
}

PluginThread* PluginThread::startIoctl(Router& router, const PluginRecord& plugin,
                                       const IoctlRequest& request, const IoctlReply& reply) {
    if (!plugin.entryPoints.IOCTL) return nullptr;
    auto* worker = new PluginThread(router, plugin.library, plugin.entryPoints.IOCTL, kIoctl);
    if (!admit(plugin, kIoctl, worker)) {
        delete worker;
        return nullptr;
    }
    worker->request.ioctl = request;
    worker->reply.ioctl = reply;
    return launch(worker);
}

PluginThread* PluginThread::launch(PluginThread* worker) {
    // The worker may end and delete itself before tryStart() returns.
    if (worker->tryStart()) return worker;
    reportNotStarted(*worker->library, worker->entryKind, errno);
    worker->abandon();
    return nullptr;
}

void PluginThread::execute() {
    if (pacesReplies()) router.payloads().slots().openSlot();
    InPluginCall site(library->fileNameText(), entryName(entryKind));
    if (entryKind != kRead) {
        entry(&request, &reply);
        return;
    }
    // Every Read is timed: the clock costs nothing beside a thread's start.
    PluginStatistics& figures = library->statistics();
    figures.readWorkersStarted.fetch_add(1, std::memory_order_relaxed);
    const auto began = std::chrono::steady_clock::now();
    entry(&request, &reply);
    figures.reads.countShared(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now() - began)
                                  .count());
}

void PluginThread::cleanup() {
    if (pacesReplies()) router.payloads().slots().closeSlot();
    release();
}

void PluginThread::release() {
    if (entryKind == kRead && request.read.payload != nullptr) {
        router.payloads().free(request.read.payload);
        request.read.payload = nullptr;
    }
    if (entryKind == kRead && request.read.handle != 0) {
        router.cancels().readerEnded(request.read.handle);
    }
    const std::chrono::nanoseconds slow = library->leaveCall(entryKind == kRead, this);
    // A call named while it ran is named again when it returns.
    if (slow.count() != 0) {
        AnyThreadLogScope immediateLog;
        wxLogWarning("%s", returnedCallText(library->fileName(), entryName(entryKind), slow));
    }
}

void PluginThread::abandon() {
    release();
    delete this;
}

int startIoctlWorker(Router& router, PluginRecord& plugin) {
    IoctlRequest request{};
    request.size = sizeof(IoctlRequest);
    request.version = 1;
    request.code = IOCTL_ON_LOAD;
    request.payloadRef.size = sizeof(RecordHeader);
    request.payloadRef.version = 1;
    IoctlReply reply{};
    reply.size = sizeof(IoctlReply);
    reply.version = 1;
    reply.code = IOCTL_ON_LOAD;
    reply.empty = RecordHeader{sizeof(RecordHeader), 1};
    plugin.ioctlWorker = PluginThread::startIoctl(router, plugin, request, reply);
    return plugin.ioctlWorker ? 1 : 0;
}

namespace {

ReadRequest readRequest(std::uint32_t length, const void* payload, std::uint64_t handle) {
    ReadRequest request{};
    request.size = sizeof(ReadRequest);
    request.version = 1;
    request.onWorker = 1;
    request.length = length;
    request.payload = payload;
    request.handle = handle;
    return request;
}

}  // namespace

int startReadWorker(Router& router, PluginRecord& plugin) {
    plugin.readWorker = PluginThread::startRead(router, plugin, readRequest(0, nullptr, 0));
    return plugin.readWorker ? 1 : 0;
}

int startRequestWorker(Router& router, const PluginRecord& plugin, const CoreMessage& request) {
    const ReadRequest read = readRequest(request.length, request.payload, request.handle);
    return PluginThread::startRead(router, plugin, read) ? 1 : 0;
}
