#include "hostile_plugins.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include "plugin_folder.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

HostilePlugins::HostilePlugins(const ServerDir& dir)
    : directory(dir / "hostile"), pluginsDir(dir.bin() + "/plugins") {
    fs::create_directories(directory);
}

void HostilePlugins::install(const std::string& role) const {
    fs::copy_file(testPluginPath("hostile"), pluginsDir + "/" + role + ".so");
}

void HostilePlugins::set(const std::string& plugin, const std::string& flag,
                         const std::string& value) const {
    const std::string path = directory + "/" + plugin + "." + flag;
    writeFile(path + ".new", value);
    fs::rename(path + ".new", path);
}

void HostilePlugins::clear(const std::string& plugin, const std::string& flag) const {
    fs::remove(directory + "/" + plugin + "." + flag);
}

std::vector<std::string> HostilePlugins::report(const std::string& plugin) const {
    std::vector<std::string> lines;
    std::istringstream content(readFile(directory + "/" + plugin + ".report"));
    for (std::string line; std::getline(content, line);) lines.push_back(line);
    return lines;
}

std::string HostilePlugins::last(const std::string& plugin, const std::string& prefix) const {
    std::string found;
    for (const std::string& line : report(plugin)) {
        if (line.rfind(prefix, 0) == 0) found = line;
    }
    return found;
}

std::size_t HostilePlugins::count(const std::string& plugin, const std::string& prefix) const {
    std::size_t found = 0;
    for (const std::string& line : report(plugin)) found += line.rfind(prefix, 0) == 0;
    return found;
}

bool HostilePlugins::waitFor(const std::string& plugin, const std::string& prefix,
                             std::chrono::milliseconds limit) const {
    return eventually([&] { return count(plugin, prefix) != 0; }, limit);
}

std::string value(const std::string& line, const std::string& key) {
    const std::string wanted = key + "=";
    for (std::string::size_type at = line.find(wanted); at != std::string::npos;
         at = line.find(wanted, at + 1)) {
        if (at != 0 && line[at - 1] != ' ') continue;
        const auto begin = at + wanted.size();
        return line.substr(begin, line.find(' ', begin) - begin);
    }
    return "";
}

long long field(const std::string& line, const std::string& key) {
    const std::string text = value(line, key);
    return text.empty() ? -1 : std::stoll(text, nullptr, 0);
}

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t found = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++found;
    }
    return found;
}

std::vector<std::string> linesWith(const std::string& text, const std::string& needle) {
    std::vector<std::string> lines;
    std::istringstream content(text);
    for (std::string line; std::getline(content, line);) {
        if (line.find(needle) != std::string::npos) lines.push_back(line);
    }
    return lines;
}

long long numberAt(const std::string& line, const std::string& before, const std::string& after) {
    std::string::size_type start = 0;
    if (!before.empty()) {
        const auto at = line.find(before);
        if (at == std::string::npos) return -1;
        start = at + before.size();
    } else {
        const auto at = line.find(after);
        if (at == std::string::npos || at == 0) return -1;
        start = line.find_last_not_of("0123456789", at - 1) + 1;
    }
    if (start >= line.size() || !std::isdigit(static_cast<unsigned char>(line[start]))) return -1;
    return std::stoll(line.substr(start));
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
