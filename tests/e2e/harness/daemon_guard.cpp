#include "daemon_guard.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "server_process.h"
#include "temp_dir.h"

namespace {

// Waits until `pid` is gone. A daemon adopted by a Subreaper is this
// process's child, and it is reaped here; any other is reaped by init.
void awaitEnd(pid_t pid) {
    for (int attempt = 0; attempt < 300; ++attempt) {
        waitpid(pid, nullptr, WNOHANG);
        if (waitUntilGone(pid, std::chrono::milliseconds(50))) return;
    }
}

}  // namespace

pid_t pidFileOwner() {
    const std::string content = readFile(kPidFile);
    try {
        return static_cast<pid_t>(std::stol(content));
    } catch (const std::exception&) {
        return 0;
    }
}

bool isRunning(pid_t pid) {
    if (pid <= 0) return false;
    // The state follows the parenthesised command name, which may itself
    // hold blanks and parentheses.
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return false;
    const char state = stat[close + 2];
    return state != 'Z' && state != 'X';
}

bool carriesMarker(pid_t pid, const std::string& marker) {
    const std::string environment = readFile("/proc/" + std::to_string(pid) + "/environ");
    return !marker.empty() && environment.find(marker) != std::string::npos;
}

DaemonGuard::~DaemonGuard() {
    std::set<pid_t> candidates = watched;
    const pid_t owner = pidFileOwner();
    if (owner > 0) candidates.insert(owner);
    for (pid_t pid : candidates) {
        if (!isRunning(pid) || !carriesMarker(pid, marker)) continue;
        std::fprintf(stderr, "[guard] killing daemon %ld that the test left running\n",
                     static_cast<long>(pid));
        kill(pid, SIGKILL);
        awaitEnd(pid);
    }
    // A killed daemon leaves its PID file; the next start would only find it
    // stale, but the machine should look as it did before the test.
    if (owner > 0 && !isRunning(owner)) unlink(kPidFile);
}
