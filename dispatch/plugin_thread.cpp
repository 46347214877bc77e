#include "dispatch/plugin_thread.h"

#include "app/core.h"

PluginThread::PluginThread(Core& core, std::shared_ptr<PluginLibrary> library,
                           PluginEntryPoint entry, std::uint32_t kind)
    : pt::thread(true), core(core), library(std::move(library)), entry(entry), entryKind(kind) {}

PluginThread* PluginThread::startRead(Core& core, const PluginRecord& plugin,
                                      const ReadRequest& request) {
    if (!plugin.entryPoints.Read || !plugin.library->enterCall()) return nullptr;
    auto* worker = new PluginThread(core, plugin.library, plugin.entryPoints.Read, kRead);
    worker->request.read = request;
    worker->reply.read = ReadReply{sizeof(ReadReply), 1, {}};
    if (request.payload == nullptr || request.length == 0) {
        worker->request.read.payload = nullptr;
        worker->request.read.length = 0;
        return launch(worker);
    }
    void* copy = copyPayload(core.payloadAllocator, request.payload,
                             static_cast<std::int32_t>(request.length));
    if (copy == nullptr) {
        plugin.library->leaveCall();
        delete worker;
        return nullptr;
    }
    worker->request.read.payload = copy;
    return launch(worker);
}

PluginThread* PluginThread::startIoctl(Core& core, const PluginRecord& plugin,
                                       const IoctlRequest& request, const IoctlReply& reply) {
    if (!plugin.entryPoints.IOCTL || !plugin.library->enterCall()) return nullptr;
    auto* worker = new PluginThread(core, plugin.library, plugin.entryPoints.IOCTL, kIoctl);
    worker->request.ioctl = request;
    worker->reply.ioctl = reply;
    return launch(worker);
}

PluginThread* PluginThread::launch(PluginThread* worker) {
    // The worker may end and delete itself before start() returns.
    worker->start();
    return worker;
}

void PluginThread::execute() {
    if (pacesReplies()) core.replies.openSlot();
    entry(&request, &reply);
}

void PluginThread::cleanup() {
    if (pacesReplies()) core.replies.closeSlot();
    if (entryKind == kRead && request.read.payload != nullptr) {
        core.payloadAllocator.release(const_cast<void*>(request.read.payload));
        request.read.payload = nullptr;
    }
    library->leaveCall();
}

int startIoctlWorker(Core& core, PluginRecord& plugin) {
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
    plugin.ioctlWorker = PluginThread::startIoctl(core, plugin, request, reply);
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

int startReadWorker(Core& core, PluginRecord& plugin) {
    plugin.readWorker = PluginThread::startRead(core, plugin, readRequest(0, nullptr, 0));
    return plugin.readWorker ? 1 : 0;
}

int startRequestReader(Core& core, const PluginRecord& plugin, const CoreMessage& request) {
    const ReadRequest read = readRequest(request.length, request.payload, request.handle);
    return PluginThread::startRead(core, plugin, read) ? 1 : 0;
}
