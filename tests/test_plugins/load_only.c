/* A plugin that exports Load and nothing else. It asks for every kind of
 * call, so that a core calling an absent entry point would crash. */
#include "tessard_plugin.h"

int32_t Load(const LoadContext* context, PluginInfo* info) {
    int entry;
    (void)context;
    info->id = 0x10AD;
    for (entry = 0; entry < 9; ++entry) info->eventMasks[entry] = UINT64_MAX;
    info->ioctlOnLoad = 1;
    info->readPolling = 1;
    info->writeEvents = 1;
    return 0;
}
