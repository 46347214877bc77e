// The plugin table: every accepted plugin, in table order.
//
// The main thread changes the table while the Core starts and stops; the
// router, the event handler thread and the scheduler read it from their own
// threads at any time. Readers take a snapshot, an immutable vector that
// stays valid for as long as they hold it; the main thread edits a copy and
// publishes it whole. So a reader never sees a table in the middle of a
// change, and no lock is held while a reader calls into a plugin.
//
// `snapshotLock` guards `current`, the pointer only; it is held just long
// enough to copy or swap it.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "plugins/plugin_record.h"

class PluginTable {
public:
    using Records = std::vector<PluginRecord>;
    using Snapshot = std::shared_ptr<const Records>;

    PluginTable() : current(std::make_shared<const Records>()) {}

    // The table as it is now; any thread. Keep the snapshot itself while
    // reading it: a range-for over `*snapshot()` drops it before the loop.
    Snapshot snapshot() const;
    // Replaces the whole table. Only the thread that starts and stops the
    // Core, or a thread that runs while it is blocked, changes the table.
    void publish(Records records);
    // A copy of the table, to be changed and published.
    Records edit() const { return *snapshot(); }
    void clear() { publish(Records()); }

    std::size_t size() const { return snapshot()->size(); }

private:
    mutable std::mutex snapshotLock;
    Snapshot current;  // guarded by snapshotLock
};
