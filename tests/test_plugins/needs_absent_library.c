/* A plugin that cannot be opened: it needs a shared object the dynamic
 * linker will not find. */
#include "tessard_plugin.h"

int tessard_absent_dependency_value(void);

int32_t Load(const LoadContext* context, PluginInfo* info) {
    (void)context;
    info->id = (uint64_t)tessard_absent_dependency_value();
    return 0;
}
