#include "plugins/plugin_library.h"

PluginLibrary::PluginLibrary(std::unique_ptr<wxDynamicLibrary> library)
    : library(std::move(library)) {}

PluginLibrary::~PluginLibrary() {
    // A library nobody closed may still have code running in it (a rejected
    // plugin's threads, a worker that never returned): keep it mapped.
    if (library && library->IsLoaded()) library->Detach();
}

bool PluginLibrary::enterCall() {
    std::lock_guard<std::mutex> hold(idleLock);
    if (retired) return false;
    ++activeCalls;
    return true;
}

void PluginLibrary::leaveCall() {
    std::lock_guard<std::mutex> hold(idleLock);
    if (--activeCalls == 0) idle.notify_all();
}

void PluginLibrary::retire() {
    std::lock_guard<std::mutex> hold(idleLock);
    retired = true;
}

bool PluginLibrary::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(idleLock);
    return idle.wait_for(hold, timeout, [this] { return activeCalls == 0; });
}

void PluginLibrary::close() { library->Unload(); }
