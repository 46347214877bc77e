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
};

MachineInfo thisMachine();

}  // namespace bench
