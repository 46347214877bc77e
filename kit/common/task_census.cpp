#include "kit/common/task_census.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace kit {

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};

}  // namespace

std::vector<pid_t> listTasks() {
    std::vector<pid_t> tasks;
    std::unique_ptr<DIR, DirectoryCloser> directory(opendir("/proc/self/task"));
    if (!directory) return tasks;
    while (const dirent* entry = readdir(directory.get())) {
        char* end = nullptr;
        const long task = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0') tasks.push_back(static_cast<pid_t>(task));
    }
    std::sort(tasks.begin(), tasks.end());
    return tasks;
}

std::size_t countTasks() { return listTasks().size(); }

std::string taskName(pid_t task) {
    std::ifstream comm("/proc/self/task/" + std::to_string(task) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace kit
