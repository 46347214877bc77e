/* A plugin whose id comes from its own file name, so that any number of
 * copies of it load side by side, each as a plugin of its own. It exports
 * every entry point the core calls unconditionally, asks for nothing and
 * keeps nothing: the hardening tests copy it, cut it short and bury it among
 * broken files. */
#define _GNU_SOURCE
#include "hard_bus.h"

int32_t Load(const LoadContext* context, PluginInfo* info) {
    (void)context;
    info->id = testPluginIdOfFile();
    return 0;
}

TEST_PLUGIN_EMPTY_UNLOAD

TEST_PLUGIN_EMPTY_OPEN

TEST_PLUGIN_EMPTY_CLOSE

TEST_PLUGIN_EMPTY_IOCTL
