// Plugin shutdown: the close pass, then the unload pass.
//
// Main thread only, during Core stop, after the scheduler and the event
// handler have ended or been given up on. Plugin threads may still call the
// router meanwhile, from inside Close too; they see the table only through
// its snapshots.
//
// Every Close and Unload runs on a thread of its own and is waited for as
// long as the stop clock allows: a call that does not return is named in a
// warning, its plugin's library stays loaded, and the stop goes on with the
// next plugin. A plugin whose Close did not return gets no Unload.

#include <wx/log.h>

#include <algorithm>

#include "plugins/bounded_call.h"
#include "plugins/call_site.h"
#include "plugins/call_words.h"
#include "plugins/plugin_manager.h"

namespace {

std::uint64_t closeKey(const PluginRecord& plugin) { return plugin.info.eventMasks[5]; }

void leaveLoaded(PluginManager& manager, const PluginRecord& plugin) {
    plugin.library->pin();
    manager.noteLibraryLeftLoaded();
}

// Calls `entry` of the plugin with a copy of `params` on a thread of its
// own; false, with the plugin named, when the call did not return in time.
// Its library then stays loaded.
template <typename Params>
bool callWithGrace(PluginManager& manager, const PluginRecord& plugin, PluginEntryPoint entry,
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
    leaveLoaded(manager, plugin);
    return false;
}

void skipPastLimit(PluginManager& manager, const PluginRecord& plugin, const char* entryName,
                   const StopClock& clock) {
    wxLogWarning("the stop has waited %lld seconds for plugins; plugin %s gets no %s and stays "
                 "loaded",
                 static_cast<long long>(clock.elapsed().count() / 1000), plugin.fileName,
                 entryName);
    leaveLoaded(manager, plugin);
}

// Unmapping code that a worker still runs would crash the server; a library
// whose workers do not return in time stays mapped for the life of the
// process instead.
void closeLibrary(PluginManager& manager, const PluginRecord& plugin, const StopClock& clock) {
    if (plugin.library->isPinned()) return;
    const std::chrono::milliseconds grace = clock.nextGrace();
    if (plugin.library->waitIdle(grace)) {
        plugin.library->close();
        return;
    }
    wxLogWarning("%s; the stop goes on without it and leaves its library loaded",
                 longCallText(plugin.fileName, plugin.library->busyEntry(), grace));
    leaveLoaded(manager, plugin);
}

}  // namespace

bool PluginManager::closePlugins(const StopClock& clock) {
    PluginTable::Records records = table.edit();
    std::sort(records.begin(), records.end(), [](const PluginRecord& a, const PluginRecord& b) {
        return closeKey(a) > closeKey(b);
    });
    for (PluginRecord& plugin : records) {
        plugin.readWorker = nullptr;
        plugin.writeWorker = nullptr;
    }
    table.publish(records);
    for (const PluginRecord& plugin : records) {
        if (!plugin.library) continue;
        plugin.library->retire();
        if (clock.pastLimit()) {
            skipPastLimit(*this, plugin, "Close", clock);
            continue;
        }
        callWithGrace(*this, plugin, plugin.entryPoints.Close, "Close",
                      CloseParams{sizeof(CloseParams), 1, 0}, clock);
    }
    return true;
}

bool PluginManager::unloadPlugins(const StopClock& clock) {
    PluginTable::Records records = table.edit();
    for (PluginRecord& plugin : records) {
        if (!plugin.library) continue;
        plugin.ioctlWorker = nullptr;
        // A plugin still inside Close, or skipped, is left alone.
        if (plugin.library->isPinned()) continue;
        if (clock.pastLimit()) {
            skipPastLimit(*this, plugin, "Unload", clock);
            continue;
        }
        if (!callWithGrace(*this, plugin, plugin.entryPoints.Unload, "Unload",
                           UnloadParams{sizeof(UnloadParams), 1}, clock)) {
            continue;
        }
        closeLibrary(*this, plugin, clock);
    }
    table.clear();
    return true;
}
