#include "plugins/plugin_library.h"

#include "tessard_plugin.h"

PluginLibrary::PluginLibrary(std::unique_ptr<wxDynamicLibrary> library, const wxString& fileName)
    : library(std::move(library)), name(fileName), nameText(fileName.utf8_string()) {}

PluginLibrary::~PluginLibrary() {
    // A library nobody closed may still have code running in it (a rejected
    // plugin's threads, a worker that never returned): keep it mapped.
    if (library && library->IsLoaded()) library->Detach();
}

PluginLibrary::Admission PluginLibrary::enterCall(bool reader) {
    std::lock_guard<std::mutex> hold(idleLock);
    if (retired) return Admission::Retired;
    if (reader && readers >= CORE_MAX_READERS) {
        if (burstReported) return Admission::ReadersBusy;
        burstReported = true;
        return Admission::ReadersBusyFirstTime;
    }
    ++activeCalls;
    if (reader) ++readers;
    return Admission::Admitted;
}

void PluginLibrary::leaveCall(bool reader) {
    std::lock_guard<std::mutex> hold(idleLock);
    // A burst ends once half the Read workers have returned, so that a
    // steady flood, which keeps the bound just reached, is reported once.
    if (reader && --readers <= CORE_MAX_READERS / 2) burstReported = false;
    if (--activeCalls == 0) idle.notify_all();
}

const char* PluginLibrary::busyEntry() {
    std::lock_guard<std::mutex> hold(idleLock);
    return readers > 0 ? "Read" : "IOCTL";
}

void PluginLibrary::retire() {
    std::lock_guard<std::mutex> hold(idleLock);
    retired = true;
}

bool PluginLibrary::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(idleLock);
    return idle.wait_for(hold, timeout, [this] { return activeCalls == 0; });
}

void PluginLibrary::close() {
    if (!pinned) library->Unload();
}
