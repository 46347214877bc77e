// Reading a Core's plugin table the way tests ask about it: by file name,
// in table order.
//
// The table may be replaced by another thread at any time (the scheduler
// does so when it starts its readers), so each helper holds its snapshot
// for as long as it reads it, and converts a copy of each name: the
// toolkit's string keeps its conversion in the object, which would write
// into the shared table.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/core.h"

// A copy of the entry's file name.
inline std::string nameOf(const PluginRecord& plugin) {
    return wxString(plugin.fileName).utf8_string();
}

// The file names of the table's entries, in table order.
inline std::vector<std::string> tableNames(const Core& core) {
    const PluginTable::Snapshot table = core.plugins().snapshot();
    std::vector<std::string> names;
    for (const PluginRecord& plugin : *table) names.push_back(nameOf(plugin));
    return names;
}

// A copy of the entry for `fileName`, or nothing when the table lacks it.
inline std::optional<PluginRecord> tableEntry(const Core& core, const std::string& fileName) {
    const PluginTable::Snapshot table = core.plugins().snapshot();
    for (const PluginRecord& plugin : *table) {
        if (nameOf(plugin) == fileName) return plugin;
    }
    return std::nullopt;
}

// The names in `failedPlugins`, in list order.
inline std::vector<std::string> failedNames(const Core& core) {
    std::vector<std::string> names;
    for (const wxString& name : core.plugins().failedPlugins()) names.push_back(name.utf8_string());
    return names;
}
