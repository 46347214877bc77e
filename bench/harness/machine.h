// The machine a run was made on, for the report: figures mean little
// without it.
#pragma once

#include <string>

namespace bench {

struct MachineInfo {
    std::string cpu;
    int cores = 0;
    std::string memory;
    std::string kernel;
    std::string compiler;
    std::string allocator;
    std::string peers;  // the peers' library versions
    std::string date;
    std::string loadAtStart;  // loadAverage() when thisMachine() was called
};

MachineInfo thisMachine();

// The 1, 5 and 15 minute load averages, as /proc/loadavg gives them: on a
// shared machine, how busy it was while the figures were made.
std::string loadAverage();
// The 1-minute load average alone; -1 when it cannot be read.
double oneMinuteLoad();

}  // namespace bench
