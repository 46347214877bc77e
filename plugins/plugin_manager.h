// PluginManager: the plugins of one Core and everything that runs them.
//
// It owns the plugin table (and the snapshots readers take of it), the names
// of the libraries that could not be opened, and the life cycle: the scan
// that loads every library of the plugins directory (loader.cpp), the Open
// pass and the status document "plugins.xml" (status_document.cpp), the
// close and unload passes (shutdown.cpp), and the worker threads that run
// single Read and IOCTL calls (plugin_thread.h), the start-up Reads and those
// a read request asks for.
//
// The main thread loads, opens, closes and unloads, while no event handler
// or scheduler runs; any thread may take a snapshot of the table or start
// the workers of a read request. It sends its notices through a NoticeSink
// and gives every plugin the callback it was made with.
#pragma once

#include <wx/dynlib.h>
#include <wx/filename.h>
#include <wx/string.h>

#include <atomic>
#include <memory>
#include <set>
#include <vector>

#include "bus/notice_sink.h"
#include "bus/reader_starter.h"
#include "plugins/plugin_table.h"
#include "plugins/stop_clock.h"
#include "tessard_plugin.h"

class Router;

class PluginManager : public ReaderStarter {
public:
    // `callback` and `coreHandle` are what every plugin's Load receives;
    // the plugins directory is the one beside `exePath`.
    PluginManager(const wxFileName& exePath, Router& router, CoreCallback callback,
                  void* coreHandle);

    PluginManager(const PluginManager&) = delete;
    PluginManager& operator=(const PluginManager&) = delete;

    // Loads every "*.so" file of the plugins directory, in directory order,
    // and enters the plugins it accepts into the table (the one with id
    // 0x60000 first). False when the directory cannot be opened.
    bool loadPlugins();
    // Calls every plugin's Open, then writes "plugins.xml" and sends it to
    // the plugins. Always true.
    bool openPlugins();
    // Logs the table as "plugins.xml" holds it, one line a plugin, and a
    // summary, for an operator reading the journal; each failed load was
    // logged where it failed.
    void logPluginTable() const;
    // Sorts the table by descending close key (entry 5 of eventMasks) and
    // calls every plugin's Close in that order; from then on no worker is
    // started for a plugin. Always true.
    bool closePlugins(const StopClock& clock = StopClock(kCallGrace));
    // In the same order, calls every plugin's Unload and closes its library
    // once its workers have returned, then empties the table. Always true.
    bool unloadPlugins(const StopClock& clock = StopClock(kCallGrace));
    // Empties the table; the libraries stay as they are.
    void clear() { table.clear(); }

    // One Read with an empty request for every plugin that asked for read
    // calls: the start-up Reads.
    void startStartupWorkers();
    void startRequestWorkers(const CoreMessage& request) override;

    PluginTable::Snapshot snapshot() const { return table.snapshot(); }
    std::size_t size() const { return table.size(); }
    // File names of libraries that could not be opened. Main thread only.
    const std::vector<wxString>& failedPlugins() const { return failed; }
    const wxFileName& executable() const { return exePath; }

    // A library stays loaded for the life of the process while code of it
    // may still run: a plugin that refused itself after Load, a call the
    // stop gave up on. Plugin threads may then still call the core.
    void noteLibraryLeftLoaded() { librariesLeftLoaded.fetch_add(1); }
    bool pluginCodeMayStillRun() const { return librariesLeftLoaded.load() != 0; }

    // The router the workers reach their payloads and reply slots through.
    Router& router() { return bus; }
    // The table itself, for tests that plant records in it.
    PluginTable& records() { return table; }

private:
    // The steps of the scan (loader.cpp) and of the Open pass.
    void loadLibrary(const wxString& directory, const wxString& fileName);
    std::unique_ptr<wxDynamicLibrary> openLibrary(const wxString& directory,
                                                  const wxString& fileName);
    bool admitId(const PluginRecord& plugin);
    void enterIntoTable(PluginRecord plugin);
    void publishStatusDocument(const PluginTable::Records& records);

    const wxFileName exePath;
    Router& bus;
    const CoreCallback callback;
    void* const coreHandle;
    // Guards itself (snapshots). Changed by the main thread only.
    PluginTable table;
    // Main thread only.
    std::vector<wxString> failed;
    // Ids accepted in the scan that runs now. Main thread only.
    std::set<std::uint64_t> scannedIds;
    std::atomic<int> librariesLeftLoaded{0};
};
