#include "harness/machine.h"

#include <gst/gst.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <zmq.h>

#include <ctime>
#include <fstream>

namespace bench {

namespace {

// The value of the first "key : value" line of `path` that starts with `key`.
std::string fieldOf(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const auto start = line.find_first_not_of(" \t", colon + 1);
        return start == std::string::npos ? "" : line.substr(start);
    }
    return "unknown";
}

std::string peerVersions() {
    int major = 0, minor = 0, patch = 0;
    zmq_version(&major, &minor, &patch);
    guint gstMajor = 0, gstMinor = 0, gstMicro = 0, gstNano = 0;
    gst_version(&gstMajor, &gstMinor, &gstMicro, &gstNano);
    return "ZeroMQ " + std::to_string(major) + "." + std::to_string(minor) + "." +
           std::to_string(patch) + ", GStreamer " + std::to_string(gstMajor) + "." +
           std::to_string(gstMinor) + "." + std::to_string(gstMicro);
}

}  // namespace

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    if (!(in >> one >> five >> fifteen)) return "unknown";
    return one + ", " + five + ", " + fifteen;
}

double oneMinuteLoad() {
    std::ifstream in("/proc/loadavg");
    double load = -1;
    in >> load;
    return in ? load : -1;
}

MachineInfo thisMachine() {
    MachineInfo m;
    m.cpu = fieldOf("/proc/cpuinfo", "model name");
    m.cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    m.memory = fieldOf("/proc/meminfo", "MemTotal");
    utsname names{};
    uname(&names);
    m.kernel = std::string(names.sysname) + " " + names.release;
    m.compiler = TESSARD_BENCH_COMPILER;
    m.allocator = TESSARD_BENCH_ALLOCATOR;
    m.peers = peerVersions();
    char date[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    m.date = date;
    m.loadAtStart = loadAverage();
    return m;
}

}  // namespace bench
