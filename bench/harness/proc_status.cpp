#include "harness/proc_status.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace bench {

std::int64_t statusKiB(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, field.size() + 1, field + ":") != 0) continue;
        std::istringstream value(line.substr(field.size() + 1));
        std::int64_t kib = -1;
        value >> kib;
        return kib;
    }
    return -1;
}

// Fields 14 and 15 of /proc/<pid>/stat (utime, stime), counted after the
// command name, which is in parentheses and may hold spaces.
std::int64_t cpuMillis(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string skipped;
    for (int field = 3; field < 14; ++field) fields >> skipped;
    long long user = 0;
    long long system = 0;
    if (!(fields >> user >> system)) return -1;
    return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
}

}  // namespace bench
