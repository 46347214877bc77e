// The memory limit of the control group the server runs in.
//
// Under a service manager's MemoryMax= or in a container the kernel kills
// the process when its group passes the limit, however much memory the
// machine has, so the heap ceiling must stay below it. The limit is the
// lowest of the group's own and its ancestors', read from the unified
// hierarchy ("memory.max") or from the first version's memory controller
// ("memory.limit_in_bytes"), whichever the server's group is in.
//
// Read once, on the thread that starts the Core.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The limit in bytes, or nothing when no group sets one. `root` is put in
// front of every path read ("/proc/self/cgroup", "/proc/self/mountinfo" and
// the group's files), so that a test can lay out a system of its own.
std::optional<std::uint64_t> cgroupMemoryLimit(const std::string& root = "");
