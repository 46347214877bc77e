// The daemon's traces on the machine, and the guard that makes sure no test
// leaves a daemon behind.
//
// A daemon is not the test's child: it is reparented when the launcher's
// intermediate process exits, so ServerProcess cannot reap or kill it. The
// guard kills, by their PIDs, the daemons a test started and did not stop,
// even when an assertion ended the test early. It kills only processes that
// carry the test's own marker in their environment, so a PID that has been
// reused by an unrelated process is never touched.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>

// libdaemon's PID file for "tessard".
constexpr char kPidFile[] = "/var/run/tessard.pid";

// The PID the PID file holds, or 0 when there is no file or no number in it.
pid_t pidFileOwner();

// Whether `pid` is a process that has not ended; a zombie has ended.
bool isRunning(pid_t pid);

// Whether `pid` runs with `marker` somewhere in its environment.
bool carriesMarker(pid_t pid, const std::string& marker);

class DaemonGuard {
public:
    explicit DaemonGuard(std::string marker) : marker(std::move(marker)) {}
    // Kills every watched process, and the one the PID file names, that still
    // runs with the marker; waits until each is gone and removes the PID file
    // if one of them left it behind.
    ~DaemonGuard();

    DaemonGuard(const DaemonGuard&) = delete;
    DaemonGuard& operator=(const DaemonGuard&) = delete;

    void watch(pid_t pid) { watched.insert(pid); }

private:
    std::string marker;
    std::set<pid_t> watched;
};
