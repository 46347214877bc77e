#include "plugins/plugin_manager.h"

#include "bus/router.h"
#include "bus/subscription.h"
#include "plugins/plugin_thread.h"

PluginManager::PluginManager(const wxFileName& exePath, Router& router, CoreCallback callback,
                             void* coreHandle)
    : exePath(exePath), bus(router), callback(callback), coreHandle(coreHandle) {}

void PluginManager::startStartupWorkers() {
    PluginTable::Records records = table.edit();
    bool started = false;
    for (PluginRecord& plugin : records) {
        if (plugin.library && plugin.info.readPolling != 0) {
            started = startReadWorker(bus, plugin) != 0 || started;
        }
    }
    // The table changes only while the main thread waits for the Core to
    // stop, and the stop sequence ends the scheduler, which calls this,
    // before it touches the table.
    if (started) table.publish(std::move(records));
}

void PluginManager::startRequestWorkers(const CoreMessage& request) {
    const std::uint64_t key = subscription::readKey(request.type);
    const PluginTable::Snapshot current = table.snapshot();
    for (const PluginRecord& plugin : *current) {
        if (!plugin.library || plugin.info.readPolling == 0) continue;
        if (!subscription::selectsAny(plugin.info.eventMasks, request.flags, key)) continue;
        startRequestWorker(bus, plugin, request);
    }
}
