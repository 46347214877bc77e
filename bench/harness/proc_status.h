// Readings of a running process from /proc: its resident memory (now and at
// its peak) and the CPU time it has used.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace bench {

// A "VmRSS"/"VmHWM"-style field of /proc/<pid>/status, in KiB; -1 if absent.
std::int64_t statusKiB(pid_t pid, const std::string& field);
// User plus system CPU time of the process, in milliseconds; -1 if unreadable.
std::int64_t cpuMillis(pid_t pid);

}  // namespace bench
