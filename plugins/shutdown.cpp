#include "plugins/shutdown.h"

#include <wx/log.h>

#include <algorithm>

#include "app/core.h"
#include "plugins/bounded_call.h"
#include "plugins/call_site.h"
#include "plugins/call_words.h"

namespace {

std::uint64_t closeKey(const PluginRecord& plugin) { return plugin.info.eventMasks[5]; }

// Calls `entry` of the plugin with copies of both records on a thread of
// its own; false, with the plugin named, when the call did not return in
// time. Its library then stays loaded.
template <typename Params>
bool callWithGrace(Core& core, const PluginRecord& plugin, PluginEntryPoint entry,
                   const char* entryName, const Params& params, const StopClock& clock) {
    if (entry == nullptr) return true;
    std::shared_ptr<PluginLibrary> library = plugin.library;
    BoundedCall call([library, entry, entryName, params] {
        Params request = params;
        CoreStatus status{sizeof(CoreStatus), 1, 0};
        InPluginCall site(library->fileNameText(), entryName);
        entry(&request, &status);
    });
    const std::chrono::milliseconds grace = clock.nextGrace();
    if (call.finishedWithin(grace)) return true;
    wxLogWarning("%s; the stop goes on without it and leaves its library loaded",
                 longCallText(plugin.fileName, entryName, grace));
    plugin.library->pin();
    core.plugins.noteLibraryLeftLoaded();
    return false;
}

void skipPastLimit(Core& core, const PluginRecord& plugin, const char* entryName,
                   const StopClock& clock) {
    wxLogWarning("the stop has waited %lld seconds for plugins; plugin %s gets no %s and stays "
                 "loaded",
                 static_cast<long long>(clock.elapsed().count() / 1000), plugin.fileName,
                 entryName);
    plugin.library->pin();
    core.plugins.noteLibraryLeftLoaded();
}

// Unmapping code that a worker still runs would crash the server; a library
// whose workers do not return in time stays mapped for the life of the
// process instead.
void closeLibrary(Core& core, const PluginRecord& plugin, const StopClock& clock) {
    if (plugin.library->isPinned()) return;
    const std::chrono::milliseconds grace = clock.nextGrace();
    if (plugin.library->waitIdle(grace)) {
        plugin.library->close();
        return;
    }
    wxLogWarning("%s; the stop goes on without it and leaves its library loaded",
                 longCallText(plugin.fileName, plugin.library->busyEntry(), grace));
    plugin.library->pin();
    core.plugins.noteLibraryLeftLoaded();
}

}  // namespace

bool closePlugins(Core& core, const StopClock& clock) {
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
        if (clock.pastLimit()) {
            skipPastLimit(core, plugin, "Close", clock);
            continue;
        }
        callWithGrace(core, plugin, plugin.entryPoints.Close, "Close",
                      CloseParams{sizeof(CloseParams), 1, 0}, clock);
    }
    return true;
}

bool unloadPlugins(Core& core, const StopClock& clock) {
    PluginTable::Records records = core.plugins.edit();
    for (PluginRecord& plugin : records) {
        if (!plugin.library) continue;
        plugin.ioctlWorker = nullptr;
        // A plugin still inside Close, or skipped, is left alone.
        if (plugin.library->isPinned()) continue;
        if (clock.pastLimit()) {
            skipPastLimit(core, plugin, "Unload", clock);
            continue;
        }
        if (!callWithGrace(core, plugin, plugin.entryPoints.Unload, "Unload",
                           UnloadParams{sizeof(UnloadParams), 1}, clock)) {
            continue;
        }
        closeLibrary(core, plugin, clock);
    }
    core.plugins.clear();
    return true;
}
