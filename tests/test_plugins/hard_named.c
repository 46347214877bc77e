/* A plugin whose id comes from its own file name, so that any number of
 * copies of it load side by side, each as a plugin of its own. It exports
 * every entry point the core calls unconditionally, asks for nothing and
 * keeps nothing: the hardening tests copy it, cut it short and bury it among
 * broken files. */
#define _GNU_SOURCE
#include "hard_bus.h"

int32_t Load(const LoadContext* context, PluginInfo* info) {
    (void)context;
    info->id = hardIdOfFile();
    return 0;
}

int32_t Unload(const UnloadParams* params, CoreStatus* status) {
    (void)params;
    (void)status;
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

int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
    (void)request;
    reply->retain = 0;
    return 0;
}
