/* A plugin that exports Load, Open, Close and Unload but neither Read, Write
 * nor IOCTL, while it asks for all three: a load-time IOCTL, read workers and
 * Write deliveries of every event. A core that called an entry point the
 * library lacks would crash on its first event or read request. */
#include "tessard_plugin.h"

int32_t Load(const LoadContext* context, PluginInfo* info) {
    int entry;
    (void)context;
    info->id = 0xB0511;
    for (entry = 0; entry < 9; ++entry) info->eventMasks[entry] = UINT64_MAX;
    info->ioctlOnLoad = 1;
    info->readPolling = 1;
    info->writeEvents = 1;
    return 0;
}

int32_t Open(const OpenParams* params, OpenResult* result) {
    (void)params;
    (void)result;
    return 0;
}

int32_t Close(const CloseParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
    return 0;
}
