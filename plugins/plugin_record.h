// PluginRecord: what the core keeps of one accepted plugin.
#pragma once

#include <wx/string.h>

#include <cstdint>
#include <memory>

#include "plugins/plugin_library.h"
#include "tessard_plugin.h"

class PluginThread;

// The eight entry points, in the order they are resolved; null where the
// library lacks the symbol.
struct PluginEntryPoints {
    PluginEntryPoint Load = nullptr;
    PluginEntryPoint Unload = nullptr;
    PluginEntryPoint Open = nullptr;
    PluginEntryPoint Close = nullptr;
    PluginEntryPoint Read = nullptr;
    PluginEntryPoint Write = nullptr;
    PluginEntryPoint Seek = nullptr;
    PluginEntryPoint IOCTL = nullptr;
};

struct PluginRecord {
    // The opened library; shared with the workers running in it.
    std::shared_ptr<PluginLibrary> library;
    PluginEntryPoints entryPoints;
    // Workers started for the plugin. Handles only: a worker deletes itself
    // when it ends, so these are never dereferenced.
    PluginThread* ioctlWorker = nullptr;
    PluginThread* readWorker = nullptr;
    PluginThread* writeWorker = nullptr;
    // The identity block as the plugin left it after Load.
    PluginInfo info{};
    // The library's file name, without directory.
    wxString fileName;
    std::int32_t openCode = 0;
    std::int64_t loadTime = 0;  // milliseconds inside Load
    std::int64_t openTime = 0;  // milliseconds inside Open
};
