#include "monitor/cgroup_memory.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// A limit at or above this is the kernel's way of saying "none" (the first
// version writes its largest page count times the page size).
constexpr std::uint64_t kNoLimit = UINT64_C(1) << 60;

struct Hierarchy {
    std::string mountPoint;  // where it is mounted
    std::string mountRoot;   // which of its groups the mount shows at its top
    std::string group;       // the server's group in it
    const char* limitFile;
};

std::vector<std::string> fieldsOf(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, separator);) fields.push_back(field);
    return fields;
}

bool listsController(const std::string& list, const std::string& name) {
    for (const std::string& entry : fieldsOf(list, ',')) {
        if (entry == name) return true;
    }
    return false;
}

// The server's group in the unified hierarchy and in the memory controller's
// (first version), from /proc/self/cgroup: "0::/path" and "N:memory,...:/path".
void readGroups(const std::string& root, std::string& unified, std::string& memory) {
    std::ifstream in(root + "/proc/self/cgroup");
    for (std::string line; std::getline(in, line);) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) unified = path;
        if (listsController(controllers, "memory")) memory = path;
    }
}

// Fills in where the hierarchy is mounted, from /proc/self/mountinfo.
bool findMount(const std::string& root, bool unified, Hierarchy& hierarchy) {
    std::ifstream in(root + "/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> fields = fieldsOf(line, ' ');
        const auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
        const std::string& type = dash[1];
        const bool matches =
            unified ? type == "cgroup2" : type == "cgroup" && listsController(dash[3], "memory");
        if (!matches) continue;
        hierarchy.mountRoot = fields[3];
        hierarchy.mountPoint = fields[4];
        return true;
    }
    return false;
}

std::optional<std::uint64_t> readLimit(const std::string& path) {
    std::ifstream in(path);
    std::string value;
    if (!(in >> value) || value == "max") return std::nullopt;
    try {
        const std::uint64_t bytes = std::stoull(value);
        return bytes < kNoLimit ? std::optional<std::uint64_t>(bytes) : std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The lowest limit of the group and its ancestors up to the mount's top.
std::optional<std::uint64_t> lowestLimit(const std::string& root, const Hierarchy& hierarchy) {
    std::string relative = hierarchy.group;
    if (hierarchy.mountRoot != "/" && relative.compare(0, hierarchy.mountRoot.size(),
                                                       hierarchy.mountRoot) == 0) {
        relative = relative.substr(hierarchy.mountRoot.size());
    }
    std::optional<std::uint64_t> lowest;
    for (;;) {
        const std::string directory = root + hierarchy.mountPoint + relative;
        const std::optional<std::uint64_t> limit = readLimit(directory + "/" + hierarchy.limitFile);
        if (limit && (!lowest || *limit < *lowest)) lowest = limit;
        const std::size_t slash = relative.find_last_of('/');
        if (relative.empty() || slash == std::string::npos) break;
        relative.erase(slash);
    }
    return lowest;
}

}  // namespace

std::optional<std::uint64_t> cgroupMemoryLimit(const std::string& root) {
    std::string unified;
    std::string memory;
    readGroups(root, unified, memory);
    Hierarchy hierarchy;
    if (!memory.empty() && findMount(root, false, hierarchy)) {
        hierarchy.group = memory;
        hierarchy.limitFile = "memory.limit_in_bytes";
        return lowestLimit(root, hierarchy);
    }
    if (!unified.empty() && findMount(root, true, hierarchy)) {
        hierarchy.group = unified;
        hierarchy.limitFile = "memory.max";
        return lowestLimit(root, hierarchy);
    }
    return std::nullopt;
}
