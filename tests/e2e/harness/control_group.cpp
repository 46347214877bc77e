#include "control_group.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

// The test process's own group in `controller`'s hierarchy of the first
// version, from /proc/self/cgroup ("N:memory:/path"); empty when it has
// none.
std::string ownGroup(const std::string& controller) {
    std::istringstream lines(readFile("/proc/self/cgroup"));
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::istringstream controllers(line.substr(first + 1, second - first - 1));
        for (std::string name; std::getline(controllers, name, ',');) {
            if (name == controller) return line.substr(second + 1);
        }
    }
    return "";
}

}  // namespace

ControlGroup::ControlGroup(const std::string& controller, const std::string& name) {
    const std::string mount = "/sys/fs/cgroup/" + controller;
    const std::string own = ownGroup(controller);
    if (own.empty() || !fs::exists(mount + "/cgroup.procs")) return;
    const std::string wanted = mount + (own == "/" ? "" : own) + "/" + name + "-" +
                               std::to_string(getpid());
    std::error_code error;
    if (fs::create_directory(wanted, error)) directory = wanted;
}

ControlGroup::~ControlGroup() {
    if (directory.empty()) return;
    // A process that has just been reaped may still be counted for a moment.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (rmdir(directory.c_str()) != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool ControlGroup::set(const std::string& file, const std::string& value) const {
    std::ofstream out(directory + "/" + file);
    out << value << std::flush;
    return static_cast<bool>(out);
}

std::string ControlGroup::get(const std::string& file) const {
    return readFile(directory + "/" + file);
}

long long ControlGroup::entry(const std::string& file, const std::string& key) const {
    std::istringstream lines(get(file));
    std::string name;
    long long value = 0;
    while (lines >> name >> value) {
        if (name == key) return value;
    }
    return -1;
}

std::vector<std::string> enterGroups(const std::vector<const ControlGroup*>& groups) {
    std::string script;
    for (const ControlGroup* group : groups) {
        script += "echo $$ > '" + group->path() + "/cgroup.procs' && ";
    }
    return {"/bin/sh", "-c", script + "exec \"$@\"", "enter-groups"};
}
