// What the host_call_log test plugin wrote: one line per life-cycle call it
// received, with the ID of the process it ran in. It tells a test from
// outside whether a server process loaded, opened, closed and unloaded its
// plugins.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// The calls of a plugin that went through its whole life, in order.
inline const std::vector<std::string> kFullLifeCycle{"Load", "Open", "Close", "Unload"};

struct PluginCall {
    std::string entry;  // "Load", "Open", "Close" or "Unload"
    pid_t pid;
};

class CallLog {
public:
    explicit CallLog(std::string path) : path(std::move(path)) {}

    // Every call so far, in the order the plugin made them.
    std::vector<PluginCall> calls() const;
    // The entry names alone, in order.
    std::vector<std::string> entries() const;
    // The process of the first call, or 0 when there was none.
    pid_t firstPid() const;
    // Waits until the plugin has received `entry`.
    bool waitFor(const std::string& entry,
                 std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

private:
    std::string path;
};
