// Plugin discovery and loading, and the Open pass: the start of every
// plugin's life.
//
// Main thread only, during Core start, before the event handler and the
// scheduler run. Load-time IOCTL workers, threads a plugin starts in Load and
// the callbacks they make may already run meanwhile; they see the table only
// through its snapshots.

#include <wx/datetime.h>
#include <wx/dir.h>
#include <wx/dynlib.h>
#include <wx/log.h>

#include "bus/router.h"
#include "plugins/call_site.h"
#include "plugins/deployment_check.h"
#include "plugins/elf_check.h"
#include "plugins/plugin_manager.h"
#include "plugins/plugin_thread.h"
#include "plugins/regular_file.h"

namespace {

// The plugin that always heads the table.
constexpr std::uint64_t kFirstPluginId = 0x60000;

// Milliseconds of wall-clock time that `call` takes.
template <typename Call>
std::int64_t timed(Call&& call) {
    const wxDateTime before = wxDateTime::UNow();
    call();
    return (wxDateTime::UNow() - before).GetMilliseconds().GetValue();
}

PluginEntryPoint entryPoint(wxDynamicLibrary& library, const char* name) {
    return reinterpret_cast<PluginEntryPoint>(library.RawGetSymbol(name));
}

// Every entry point but Load is optional at this stage, so the toolkit's
// error line for an absent symbol is kept for Load alone.
PluginEntryPoints resolveEntryPoints(wxDynamicLibrary& library) {
    PluginEntryPoints entries;
    if (library.HasSymbol("Load")) {
        entries.Load = reinterpret_cast<PluginEntryPoint>(library.GetSymbol("Load"));
    } else {
        library.GetSymbol("Load");  // the toolkit names the library and the symbol
    }
    entries.Unload = entryPoint(library, "Unload");
    entries.Open = entryPoint(library, "Open");
    entries.Close = entryPoint(library, "Close");
    entries.Read = entryPoint(library, "Read");
    entries.Write = entryPoint(library, "Write");
    entries.Seek = entryPoint(library, "Seek");
    entries.IOCTL = entryPoint(library, "IOCTL");
    return entries;
}

// Names the entry points that the core would call but the library lacks;
// those calls are skipped. Told once, when the plugin is accepted.
void reportMissingEntryPoints(const PluginRecord& plugin) {
    wxString missing;
    auto note = [&missing](PluginEntryPoint entry, bool needed, const char* name) {
        if (needed && entry == nullptr) missing += (missing.empty() ? "" : ", ") + wxString(name);
    };
    const PluginEntryPoints& entries = plugin.entryPoints;
    note(entries.Unload, true, "Unload");
    note(entries.Open, true, "Open");
    note(entries.Close, true, "Close");
    note(entries.Read, plugin.info.readPolling != 0, "Read");
    note(entries.Write, plugin.info.writeEvents != 0, "Write");
    note(entries.IOCTL, true, "IOCTL");
    if (!missing.empty()) {
        wxLogWarning("plugin %s does not export %s; the core skips those calls",
                     plugin.fileName, missing);
    }
}

// Runs Load; false, with the reason logged, when the plugin rejects itself.
bool callLoad(PluginRecord& plugin, CoreCallback callback, void* coreHandle) {
    LoadContext context{sizeof(LoadContext), 3, coreHandle, callback};
    std::int32_t result = 0;
    plugin.info.size = sizeof(PluginInfo);
    plugin.info.version = 1;
    const std::string name = plugin.fileName.utf8_string();
    InPluginCall site(name.c_str(), "Load");
    plugin.loadTime = timed([&] { result = plugin.entryPoints.Load(&context, &plugin.info); });
    if (result == 0 && plugin.info.loadError == 0) return true;
    wxLogError("plugin %s load returned %d error %d", plugin.fileName, result,
               plugin.info.loadError);
    return false;
}

// Whether the file may be handed to the dynamic loader at all; false, with
// the reason logged, when that would hang or crash the server.
bool loadable(const wxString& path) {
    // A FIFO would make the dynamic loader wait for a writer for ever.
    if (!isRegularFile(path.fn_str())) {
        wxLogError("plugin %s is not a regular file; it is not loaded", path);
        return false;
    }
    // A file cut short would make it read past the end of its mapping.
    if (!elfFitsInFile(path.fn_str())) {
        wxLogError("plugin %s is cut short: its headers reach beyond its end; it is not loaded",
                   path);
        return false;
    }
    return true;
}

void callOpen(PluginRecord& plugin) {
    if (plugin.entryPoints.Open == nullptr) return;
    OpenParams params{sizeof(OpenParams), 1, {}};
    OpenResult result{sizeof(OpenResult), 1, {}};
    InPluginCall site(plugin.library->fileNameText(), "Open");
    plugin.openTime = timed([&] { plugin.openCode = plugin.entryPoints.Open(&params, &result); });
}

}  // namespace

bool PluginManager::loadPlugins() {
    const wxString directory = exePath.GetPath() + "/plugins";
    wxDir listing(directory);
    if (!listing.IsOpened()) {
        // Without it the server runs empty; an operator must learn where it
        // looked, for example when it was started through a link.
        wxLogWarning("plugins directory %s cannot be opened; no plugin is loaded", directory);
        return false;
    }
    checkPluginsDirectory(directory);
    scannedIds.clear();
    wxString fileName;
    for (bool more = listing.GetFirst(&fileName, "*.so", wxDIR_FILES); more;
         more = listing.GetNext(&fileName)) {
        loadLibrary(directory, fileName);
    }
    scannedIds.clear();
    return true;
}

std::unique_ptr<wxDynamicLibrary> PluginManager::openLibrary(const wxString& directory,
                                                             const wxString& fileName) {
    const wxString path = directory + "/" + fileName;
    checkPluginFile(path);
    auto library = std::make_unique<wxDynamicLibrary>();
    // Verbatim: the name as given, every symbol bound now, none made global.
    if (loadable(path) && library->Load(path, wxDL_VERBATIM)) return library;
    bus.sendText(
        wxString::Format("Failed to load plugin: %s (missing dependency)", fileName).utf8_string());
    failed.push_back(fileName);
    return nullptr;
}

// Whether the plugin's id is its own: the core's id stands for the core's
// hold on every payload it hands out and as the sender of its notices, and
// the first plugin to take an id keeps it.
bool PluginManager::admitId(const PluginRecord& plugin) {
    if (plugin.info.id == CORE_ID) {
        wxLogError("plugin %s uses the core's own ID 0x%08lX; it is not loaded", plugin.fileName,
                   static_cast<unsigned long>(CORE_ID));
        return false;
    }
    if (scannedIds.insert(plugin.info.id).second) return true;
    wxLogWarning("plugin %s ID 0x%08lX already loaded", plugin.fileName,
                 static_cast<unsigned long>(plugin.info.id));
    return false;
}

void PluginManager::loadLibrary(const wxString& directory, const wxString& fileName) {
    std::unique_ptr<wxDynamicLibrary> library = openLibrary(directory, fileName);
    if (!library) return;
    PluginRecord plugin;
    plugin.entryPoints = resolveEntryPoints(*library);
    if (plugin.entryPoints.Load == nullptr) return;
    plugin.fileName = fileName;
    if (!callLoad(plugin, callback, coreHandle) || !admitId(plugin)) {
        // Its Load ran and may have started threads that run in its code,
        // whether or not it then refused itself: the library stays mapped
        // and nothing of it is called again.
        library->Detach();
        noteLibraryLeftLoaded();
        return;
    }
    plugin.library = std::make_shared<PluginLibrary>(std::move(library), fileName);
    reportMissingEntryPoints(plugin);
    if (plugin.info.ioctlOnLoad != 0) startIoctlWorker(bus, plugin);
    enterIntoTable(std::move(plugin));
}

void PluginManager::enterIntoTable(PluginRecord plugin) {
    PluginTable::Records records = table.edit();
    const bool first = plugin.info.id == kFirstPluginId;
    records.insert(first ? records.begin() : records.end(), std::move(plugin));
    table.publish(std::move(records));
}

bool PluginManager::openPlugins() {
    PluginTable::Records records = table.edit();
    for (PluginRecord& plugin : records) {
        if (plugin.library) callOpen(plugin);
    }
    table.publish(records);
    publishStatusDocument(records);
    return true;
}

void PluginManager::logPluginTable() const {
    std::size_t loaded = 0;
    for (const PluginRecord& plugin : *table.snapshot()) {
        if (!plugin.library) continue;
        ++loaded;
        wxLogMessage("plugin %s: ID 0x%08llX, Open returned %d, Load took %lld ms, Open %lld ms",
                     plugin.fileName, static_cast<unsigned long long>(plugin.info.id),
                     static_cast<int>(plugin.openCode), static_cast<long long>(plugin.loadTime),
                     static_cast<long long>(plugin.openTime));
    }
    wxLogMessage("%zu plugins loaded, %zu failed to load", loaded, failed.size());
}
