// ThreadWatch: threads that still run a plugin's code after its Unload.
//
// It lists the process's threads before any plugin is loaded. After the
// unload pass it waits a moment for the threads that appeared since to end,
// then looks at each one left: its stack, from its stack pointer up to the
// top of its stack mapping (where the C library keeps the thread's start
// function), is searched for addresses in a plugin's code. A thread with
// none is a library's own (a GLib worker pool, say) and is let be; a thread
// with some was started by the plugin, or is inside its code.
//
// Stacks are read without stopping their threads: the kernel tells where a
// thread's stack pointer is while it waits in a system call, which is where
// a forgotten thread spends its time. Main thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "kit/harness/interposer.h"

namespace kit {

struct LingeringThread {
    pid_t task = 0;
    std::string name;
    int slot = -1;  // whose code it holds; -1: its stack could not be read
};

class ThreadWatch {
public:
    // Lists the threads there are now.
    ThreadWatch();

    // The threads that appeared since and hold a plugin's code, once those
    // that end within `grace` have ended.
    std::vector<LingeringThread> lingering(const Interposer& plugins,
                                           std::chrono::milliseconds grace) const;

private:
    std::vector<pid_t> newTasks() const;

    std::vector<pid_t> before;
};

}  // namespace kit
