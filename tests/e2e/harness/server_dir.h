// One server installation of its own for an end-to-end test, and the ways a
// test launches the real executable from it.
//
// The temporary directory holds:
//   bin/tessard    a symbolic link to the built executable; the server takes
//                  its path from the name it was started by, so it finds its
//                  plugins and writes its files here, not in the build tree
//   bin/plugins/   the host_call_log plugin
//   home/          HOME of every launch, where the single-instance lock lives
//   elsewhere/     the working directory every launch starts in
//   runs/<name>/   per launch: stdout, stderr, the plugin's call log and the
//                  host shim's record
//   reports/       the sanitizer reports of every process
//
// Every launch preloads the host shim (and, in ThreadSanitizer builds,
// select_through_poll.c). Every process the launches forked is
// killed when the object goes, if it still runs (see DaemonGuard).
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "call_log.h"
#include "daemon_guard.h"
#include "server_process.h"
#include "shim_log.h"
#include "temp_dir.h"

struct Launch {
    std::vector<std::string> arguments;
    std::string program;           // bin/tessard when empty
    std::string argv0;             // the program when empty
    std::string workingDirectory;  // elsewhere/ when empty
    std::string home;              // home/ when empty
    std::map<std::string, std::string> environment;
    // A command the server is started through, for example one that sets up
    // a mount namespace; it ends with the arguments of the command to run.
    // The shim is then preloaded into the server alone, not the wrapper.
    std::vector<std::string> wrapper;
    // More libraries to preload after the host shim.
    std::vector<std::string> preload;
};

// The outcome of starting a daemon: the launcher's exit status and the PID
// that the PID file named once the launcher had ended.
struct DaemonLaunch {
    std::optional<int> launcherStatus;
    pid_t daemon = 0;
    std::string launcherErrors;
};

class ServerDir {
public:
    ServerDir();
    ~ServerDir();

    ServerDir(const ServerDir&) = delete;
    ServerDir& operator=(const ServerDir&) = delete;

    std::unique_ptr<ServerProcess> start(const std::string& name, const Launch& launch);
    // In the foreground with `debugSwitch`, after the prompt has appeared.
    std::unique_ptr<ServerProcess> startForeground(const std::string& name,
                                                   const std::string& debugSwitch = "-d");
    // As a daemon, after the launcher has ended.
    DaemonLaunch startDaemon(const std::string& name, const Launch& launch = {});

    CallLog calls(const std::string& name) const { return CallLog(runDir(name) + "/calls.log"); }
    ShimLog shim(const std::string& name) const { return ShimLog(runDir(name) + "/shim.log"); }
    // Makes sure `pid` does not outlive the test.
    void watch(pid_t pid) { guard.watch(pid); }

    const std::string& root() const { return directory.path(); }
    std::string operator/(const std::string& name) const { return directory / name; }
    std::string bin() const { return directory / "bin"; }
    std::string executable() const { return directory / "bin/tessard"; }
    std::string home() const { return directory / "home"; }
    std::string elsewhere() const { return directory / "elsewhere"; }
    std::string sanitizerReports() const;

private:
    std::string runDir(const std::string& name) const { return directory / ("runs/" + name); }
    std::map<std::string, std::string> environmentOf(const std::string& name,
                                                     const Launch& launch) const;

    TempDir directory;
    DaemonGuard guard;
    std::vector<std::string> runs;
};

// The directory that /proc says `pid` works in.
std::string workingDirectoryOf(pid_t pid);
