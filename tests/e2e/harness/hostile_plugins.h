// The hostile test plugins (test_plugins/hostile.c) in a ServerDir: each
// copy installed under the name of its role, the flags that steer them and
// the reports they write (test_plugins/hostile.h tells the file layout).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "server_dir.h"

class HostilePlugins {
public:
    // Their files live in `dir`/hostile.
    explicit HostilePlugins(const ServerDir& dir);

    // Copies the library into bin/plugins as "<role>.so".
    void install(const std::string& role) const;
    // The variable that tells the plugins where their files are; merge it
    // into a Launch's environment.
    std::map<std::string, std::string> environment() const { return {{"HOSTILE_DIR", directory}}; }

    // Sets a plugin's flag, carrying `value`; the plugin never sees half of
    // it.
    void set(const std::string& plugin, const std::string& flag,
             const std::string& value = "") const;
    void clear(const std::string& plugin, const std::string& flag) const;

    std::vector<std::string> report(const std::string& plugin) const;
    // The last report line that begins with `prefix`; empty when none.
    std::string last(const std::string& plugin, const std::string& prefix) const;
    // How many report lines begin with `prefix`.
    std::size_t count(const std::string& plugin, const std::string& prefix) const;
    // Waits until a report line begins with `prefix`.
    bool waitFor(const std::string& plugin, const std::string& prefix,
                 std::chrono::milliseconds limit = std::chrono::seconds(120)) const;

private:
    std::string directory;
    std::string pluginsDir;
};

// The word after "<key>=" in `line`; empty when there is none.
std::string value(const std::string& line, const std::string& key);
// That word as a number (decimal, or hexadecimal after "0x"); -1 when there
// is none.
long long field(const std::string& line, const std::string& key);

// How often `needle` occurs in `text`.
std::size_t occurrences(const std::string& text, const std::string& needle);
// The lines of `text` that hold `needle`.
std::vector<std::string> linesWith(const std::string& text, const std::string& needle);
// The number that follows `before` in `line`, or precedes `after` (one of
// the two is empty); -1 when there is none.
long long numberAt(const std::string& line, const std::string& before, const std::string& after = "");

// Polls `condition` until it holds (true) or `limit` has passed (false).
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(120));
