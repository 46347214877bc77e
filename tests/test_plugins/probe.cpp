// The probe plugin: exports every entry point, records each call with its
// records and payload, and runs the hooks its test set (see support/probe.h).

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "probe.h"

namespace {

ProbeControl* control() {
    static ProbeControl* const found = [] {
        Dl_info self{};
        if (dladdr(reinterpret_cast<void*>(&control), &self) == 0 || !tessardTestProbe) {
            return static_cast<ProbeControl*>(nullptr);
        }
        const char* slash = std::strrchr(self.dli_fname, '/');
        return tessardTestProbe(slash ? slash + 1 : self.dli_fname);
    }();
    return found;
}

ProbeCall callOf(ProbeEntry entry) {
    ProbeCall call{};
    call.entry = entry;
    return call;
}

std::string bytes(const void* payload, std::uint32_t length) {
    return payload ? std::string(static_cast<const char*>(payload), length) : std::string();
}

template <typename Hook>
void run(const Hook& hook, ProbeControl& probe) {
    if (hook) hook(probe);
}

template <typename Hook, typename Request>
void run(const Hook& hook, ProbeControl& probe, const Request& request) {
    if (hook) hook(probe, request);
}

}  // namespace

extern "C" {

int32_t Load(const LoadContext* context, PluginInfo* info) {
    ProbeControl* probe = control();
    if (!probe) return -1;
    probe->setCallback(context->callback);
    ProbeCall call = callOf(ProbeEntry::Load);
    call.load = *context;
    call.infoOnEntry = *info;
    const PluginInfo& wanted = probe->behaviour.info;
    const RecordHeader header{info->size, info->version};
    std::memcpy(info, &wanted, sizeof(PluginInfo));
    if (wanted.size == 0) {
        info->size = header.size;
        info->version = header.version;
    }
    probe->record(call);
    run(probe->behaviour.onLoad, *probe);
    return probe->behaviour.loadResult;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    ProbeControl* probe = control();
    ProbeCall call = callOf(ProbeEntry::Unload);
    call.unload = *params;
    call.status = *status;
    probe->record(call);
    run(probe->behaviour.onUnload, *probe);
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    ProbeControl* probe = control();
    ProbeCall call = callOf(ProbeEntry::Open);
    call.open = *params;
    call.openResult = *result;
    probe->record(call);
    run(probe->behaviour.onOpen, *probe);
    return probe->behaviour.openResult;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    ProbeControl* probe = control();
    ProbeCall call = callOf(ProbeEntry::Close);
    call.close = *params;
    call.status = *status;
    probe->record(call);
    run(probe->behaviour.onClose, *probe);
    return 0;
}

int32_t Read(const ReadRequest* request, ReadReply* reply) {
    ProbeControl* probe = control();
    ProbeCall call = callOf(ProbeEntry::Read);
    call.read = *request;
    call.readReply = *reply;
    call.payload = bytes(request->payload, request->length);
    probe->record(call);
    run(probe->behaviour.onRead, *probe, *request);
    return 0;
}

int32_t Write(const WriteRequest* request, WriteReply* reply) {
    ProbeControl* probe = control();
    ProbeCall call = callOf(ProbeEntry::Write);
    call.write = *request;
    call.writeReply = *reply;
    call.payload = bytes(request->payload, request->length);
    probe->record(call);
    run(probe->behaviour.onWrite, *probe, *request);
    reply->retain = probe->behaviour.retainWrites ? 1 : 0;
    return 0;
}

int32_t Seek(const void*, void*) { return 0; }

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    ProbeControl* probe = control();
    ProbeCall call = callOf(ProbeEntry::Ioctl);
    call.ioctl = *request;
    call.ioctlReply = *reply;
    if (request->code != IOCTL_ON_LOAD) {
        call.payload = bytes(request->payloadRef.payload, request->payloadRef.length);
    }
    probe->record(call);
    run(probe->behaviour.onIoctl, *probe, *request);
    reply->retain = probe->behaviour.retainIoctls ? 1 : 0;
    return 0;
}

}  // extern "C"
