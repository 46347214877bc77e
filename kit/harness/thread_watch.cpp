#include "kit/harness/thread_watch.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "kit/common/task_census.h"

namespace kit {

namespace {

// The stack pointer of a thread that waits in the kernel; 0 while it runs.
std::uintptr_t stackPointerOf(pid_t task) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::ifstream file("/proc/self/task/" + std::to_string(task) + "/syscall");
        std::string line;
        if (!std::getline(file, line)) return 0;
        if (line.rfind("running", 0) != 0) {
            std::istringstream words(line);
            std::vector<std::string> fields;
            for (std::string word; words >> word;) fields.push_back(word);
            if (fields.size() >= 3) return std::stoull(fields[fields.size() - 2], nullptr, 16);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 0;
}

// The end of the mapping that holds `address`, from /proc/self/maps.
std::uintptr_t mappingEnd(std::uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR, &start, &end) != 2) continue;
        if (address >= start && address < end) return end;
    }
    return 0;
}

// Reads another thread's stack word by word. The sanitizers must not check
// these loads: the words belong to frames of the other thread (with their
// redzones), which it may change at any moment; a torn value only makes a
// word look like no code address.
__attribute__((no_sanitize_address, no_sanitize_thread)) int slotOnStack(
    const Interposer& plugins, std::uintptr_t from, std::uintptr_t to) {
    for (std::uintptr_t at = from & ~std::uintptr_t(7); at + 8 <= to; at += 8) {
        const std::uintptr_t word = *reinterpret_cast<const volatile std::uintptr_t*>(at);
        const int slot = plugins.slotOfCode(word);
        if (slot >= 0) return slot;
    }
    return -1;
}

}  // namespace

ThreadWatch::ThreadWatch() : before(listTasks()) {}

std::vector<pid_t> ThreadWatch::newTasks() const {
    std::vector<pid_t> added;
    const std::vector<pid_t> now = listTasks();
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(),
                        std::back_inserter(added));
    return added;
}

std::vector<LingeringThread> ThreadWatch::lingering(const Interposer& plugins,
                                                    std::chrono::milliseconds grace) const {
    const auto deadline = std::chrono::steady_clock::now() + grace;
    std::vector<pid_t> left = newTasks();
    while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        left = newTasks();
    }
    std::vector<LingeringThread> found;
    for (pid_t task : left) {
        const std::uintptr_t stack = stackPointerOf(task);
        const std::uintptr_t top = stack != 0 ? mappingEnd(stack) : 0;
        const int slot = top != 0 ? slotOnStack(plugins, stack, top) : -1;
        if (top != 0 && slot < 0) continue;  // no code of any plugin: a library's thread
        if (top == 0 && taskName(task).empty()) continue;  // it ended meanwhile
        found.push_back(LingeringThread{task, taskName(task), slot});
    }
    return found;
}

}  // namespace kit
