#include "plugins/shutdown.h"

#include <wx/log.h>

#include <algorithm>

#include "app/core.h"

namespace {

std::uint64_t closeKey(const PluginRecord& plugin) { return plugin.info.eventMasks[5]; }

void callClose(const PluginRecord& plugin) {
    if (plugin.entryPoints.Close == nullptr) return;
    CloseParams params{sizeof(CloseParams), 1, 0};
    CoreStatus status{sizeof(CoreStatus), 1, 0};
    plugin.entryPoints.Close(&params, &status);
}

void callUnload(const PluginRecord& plugin) {
    if (plugin.entryPoints.Unload == nullptr) return;
    UnloadParams params{sizeof(UnloadParams), 1};
    CoreStatus status{sizeof(CoreStatus), 1, 0};
    plugin.entryPoints.Unload(&params, &status);
}

// Unmapping code that a worker still runs would crash the server; a library
// whose workers do not return in time stays mapped for the life of the
// process instead.
void closeLibrary(const PluginRecord& plugin, std::chrono::milliseconds workerGrace) {
    if (plugin.library->waitIdle(workerGrace)) {
        plugin.library->close();
        return;
    }
    wxLogWarning("plugin %s still runs a call after %ld seconds; its library stays loaded",
                 plugin.fileName,
                 static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(workerGrace)
                                       .count()));
}

}  // namespace

bool closePlugins(Core& core) {
    PluginTable::Records records = core.plugins.edit();
    std::sort(records.begin(), records.end(), [](const PluginRecord& a, const PluginRecord& b) {
        return closeKey(a) > closeKey(b);
    });
    for (PluginRecord& plugin : records) {
        plugin.readWorker = nullptr;
        plugin.writeWorker = nullptr;
    }
    core.plugins.publish(records);
    for (const PluginRecord& plugin : records) {
        if (!plugin.library) continue;
        plugin.library->retire();
        callClose(plugin);
    }
    return true;
}

bool unloadPlugins(Core& core, std::chrono::milliseconds workerGrace) {
    PluginTable::Records records = core.plugins.edit();
    for (PluginRecord& plugin : records) {
        if (!plugin.library) continue;
        plugin.ioctlWorker = nullptr;
        callUnload(plugin);
        closeLibrary(plugin, workerGrace);
    }
    core.plugins.clear();
    return true;
}
