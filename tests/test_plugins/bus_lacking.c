/* A plugin that exports Load, Open, Close and Unload but neither Read, Write
 * nor IOCTL, while it asks for all three: a load-time IOCTL, read workers and
 * Write deliveries of every event. A core that called an entry point the
 * library lacks would crash on its first event or read request. */
#define _GNU_SOURCE
#include "test_plugin.h"

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

TEST_PLUGIN_EMPTY_OPEN

TEST_PLUGIN_EMPTY_CLOSE

TEST_PLUGIN_EMPTY_UNLOAD
