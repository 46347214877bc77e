#include "call_log.h"

#include <sstream>
#include <thread>

#include "temp_dir.h"

std::vector<PluginCall> CallLog::calls() const {
    std::vector<PluginCall> result;
    std::istringstream lines(readFile(path));
    std::string entry;
    long pid = 0;
    while (lines >> entry >> pid) result.push_back({entry, static_cast<pid_t>(pid)});
    return result;
}

std::vector<std::string> CallLog::entries() const {
    std::vector<std::string> names;
    for (const PluginCall& call : calls()) names.push_back(call.entry);
    return names;
}

pid_t CallLog::firstPid() const {
    const std::vector<PluginCall> all = calls();
    return all.empty() ? 0 : all.front().pid;
}

bool CallLog::waitFor(const std::string& entry, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        for (const PluginCall& call : calls()) {
            if (call.entry == entry) return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
