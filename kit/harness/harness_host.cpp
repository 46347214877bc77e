#include "kit/harness/harness_host.h"

#include "monitor/memory_limit.h"
#include "threads/thread_log.h"

namespace kit {

namespace {

std::uint64_t heapCeiling() {
    static const std::uint64_t ceiling = memoryLimitFor(readMemoryFacts());
    return ceiling;
}

}  // namespace

// As the Core: the event queue may hold a quarter of the heap ceiling, the
// router asks the monitor whether to throttle and hands read requests to
// the plugin manager.
HarnessHost::HarnessHost(const wxFileName& exePath, PayloadAllocator& allocator,
                         SystemReadings& readings, CoreCallback callback, void* coreHandle)
    : messageRouter(allocator, heapCeiling() / 4),
      pluginManager(exePath, messageRouter, callback, coreHandle),
      eventDispatcher(messageRouter, pluginManager),
      housekeeping(messageRouter, pluginManager, readings, heapCeiling()) {
    messageRouter.readThrottlingFrom(housekeeping);
    messageRouter.startReadersWith(pluginManager);
}

void HarnessHost::load() {
    ThreadLogScope::prepare();
    messageRouter.reopen();
    pluginManager.clear();
    pluginManager.loadPlugins();
}

void HarnessHost::open() {
    pluginManager.openPlugins();
    housekeeping.start();
}

bool HarnessHost::idle() {
    if (!messageRouter.events().empty()) return false;
    const PluginTable::Snapshot table = pluginManager.snapshot();
    for (const PluginRecord& plugin : *table) {
        if (plugin.library && !plugin.library->waitIdle(std::chrono::milliseconds(0))) return false;
    }
    return true;
}

void HarnessHost::close() {
    stopClock.emplace(kCallGrace);
    housekeeping.stop();
    messageRouter.events().close();
    messageRouter.refuseReplies();
    pluginManager.closePlugins(*stopClock);
}

void HarnessHost::unload() {
    if (!stopClock) stopClock.emplace(kCallGrace);
    pluginManager.unloadPlugins(*stopClock);
    pluginManager.clear();
    messageRouter.discardQueued();
    messageRouter.payloads().freeRetained();
    messageRouter.events().clearWakeups();
}

}  // namespace kit
