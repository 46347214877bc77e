/* A plugin whose id comes from its own file name, so that any number of
 * copies of it load side by side, each as a plugin of its own. It exports
 * every entry point the core calls unconditionally, asks for nothing and
 * keeps nothing: the hardening tests copy it, cut it short and bury it among
 * broken files. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>

#include "tessard_plugin.h"

/* FNV-1a of the file name, moved clear of the ids the core treats apart
 * (CORE_ID and 0x60000 both lie below bit 40). */
static uint64_t idOfFile(void) {
    Dl_info self;
    const char* name = "";
    const char* at;
    uint64_t hash = UINT64_C(14695981039346656037);
    if (dladdr((void*)&idOfFile, &self) != 0 && self.dli_fname != NULL) {
        const char* slash = strrchr(self.dli_fname, '/');
        name = slash != NULL ? slash + 1 : self.dli_fname;
    }
    for (at = name; *at != '\0'; ++at) {
        hash ^= (unsigned char)*at;
        hash *= UINT64_C(1099511628211);
    }
    return hash | (UINT64_C(1) << 40);
}

int32_t Load(const LoadContext* context, PluginInfo* info) {
    (void)context;
    info->id = idOfFile();
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
