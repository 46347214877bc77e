#include "plugins/plugin_table.h"

PluginTable::Snapshot PluginTable::snapshot() const {
    std::lock_guard<std::mutex> hold(snapshotLock);
    return current;
}

void PluginTable::publish(Records records) {
    Snapshot replacement = std::make_shared<const Records>(std::move(records));
    {
        std::lock_guard<std::mutex> hold(snapshotLock);
        current.swap(replacement);
    }
    // The old table is released here, outside the lock.
}
