#include "plugins/plugin_library.h"

#include "tessard_plugin.h"

#include <chrono>

PluginLibrary::PluginLibrary(std::unique_ptr<wxDynamicLibrary> library, const wxString& fileName)
    : library(std::move(library)), name(fileName), nameText(fileName.utf8_string()) {}

PluginLibrary::~PluginLibrary() {
    // A library nobody closed may still have code running in it (a rejected
    // plugin's threads, a worker that never returned): keep it mapped.
    if (library && library->IsLoaded()) library->Detach();
}

namespace {

std::int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

PluginLibrary::Admission PluginLibrary::enterCall(bool reader, const void* call) {
    std::lock_guard<std::mutex> hold(idleLock);
    if (retired) return Admission::Retired;
    if (reader && readers >= CORE_MAX_READERS) {
        if (burstReported) return Admission::ReadersBusy;
        burstReported = true;
        return Admission::ReadersBusyFirstTime;
    }
    ++activeCalls;
    if (reader) ++readers;
    running.push_back(RunningCall{call, reader ? "Read" : "IOCTL", steadyNanoseconds(), false});
    return Admission::Admitted;
}

std::chrono::nanoseconds PluginLibrary::leaveCall(bool reader, const void* call) {
    std::lock_guard<std::mutex> hold(idleLock);
    // A burst ends once half the Read workers have returned, so that a
    // steady flood, which keeps the bound just reached, is reported once.
    if (reader && --readers <= CORE_MAX_READERS / 2) burstReported = false;
    if (--activeCalls == 0) idle.notify_all();
    std::chrono::nanoseconds slow{0};
    for (auto at = running.begin(); at != running.end(); ++at) {
        if (at->call != call) continue;
        if (at->reported) slow = std::chrono::nanoseconds(steadyNanoseconds() - at->began);
        running.erase(at);
        break;
    }
    return slow;
}

std::vector<PluginLibrary::LongCall> PluginLibrary::newLongCalls(
    std::chrono::nanoseconds threshold) {
    std::vector<LongCall> found;
    const std::int64_t now = steadyNanoseconds();
    std::lock_guard<std::mutex> hold(idleLock);
    for (RunningCall& call : running) {
        const std::chrono::nanoseconds ran(now - call.began);
        if (call.reported || ran < threshold) continue;
        call.reported = true;
        found.push_back(LongCall{call.entry, ran});
    }
    return found;
}

int PluginLibrary::readWorkersRunning() {
    std::lock_guard<std::mutex> hold(idleLock);
    return readers;
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
