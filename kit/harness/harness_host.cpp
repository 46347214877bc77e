#include "kit/harness/harness_host.h"

#include "threads/thread_log.h"

namespace kit {

void HarnessHost::load() {
    ThreadLogScope::prepare();
    router().reopen();
    plugins().clear();
    plugins().loadPlugins();
}

void HarnessHost::open() {
    plugins().openPlugins();
    monitor().start();
}

bool HarnessHost::idle() {
    if (!router().events().empty()) return false;
    const PluginTable::Snapshot table = plugins().snapshot();
    for (const PluginRecord& plugin : *table) {
        if (plugin.library && !plugin.library->waitIdle(std::chrono::milliseconds(0))) return false;
    }
    return true;
}

void HarnessHost::close() {
    stopClock.emplace(kCallGrace);
    monitor().stop();
    router().events().close();
    router().refuseReplies();
    plugins().closePlugins(*stopClock);
}

void HarnessHost::unload() {
    if (!stopClock) stopClock.emplace(kCallGrace);
    plugins().unloadPlugins(*stopClock);
    plugins().clear();
    router().discardQueued();
    router().payloads().freeRetained();
    router().events().clearWakeups();
}

}  // namespace kit
