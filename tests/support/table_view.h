// Reading a Core's plugin table the way tests ask about it: by file name,
// in table order.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/core.h"

// The file names of the table's entries, in table order.
inline std::vector<std::string> tableNames(const Core& core) {
    std::vector<std::string> names;
    for (const PluginRecord& plugin : *core.plugins.snapshot()) {
        names.push_back(plugin.fileName.utf8_string());
    }
    return names;
}

// A copy of the entry for `fileName`, or nothing when the table lacks it.
inline std::optional<PluginRecord> tableEntry(const Core& core, const std::string& fileName) {
    for (const PluginRecord& plugin : *core.plugins.snapshot()) {
        if (plugin.fileName.utf8_string() == fileName) return plugin;
    }
    return std::nullopt;
}

// The names in `failedPlugins`, in list order.
inline std::vector<std::string> failedNames(const Core& core) {
    std::vector<std::string> names;
    for (const wxString& name : core.failedPlugins) names.push_back(name.utf8_string());
    return names;
}
