// The threads of this process, as the kernel lists them in /proc/self/task.
//
// The inspector counts them around a plugin's Load, the harness compares
// them before a plugin is loaded and after it is unloaded. Any thread may
// ask; nothing is kept between calls.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kit {

// The thread ids of this process, ascending; empty when /proc cannot be read.
std::vector<pid_t> listTasks();

// How many threads this process has; 0 when /proc cannot be read.
std::size_t countTasks();

// The thread's name (its "comm"), or the empty text when it has ended.
std::string taskName(pid_t task);

}  // namespace kit
