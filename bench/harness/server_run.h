// The real server, started as `tessard -d` from a server folder of a run
// directory: the executable (a link to the built one, so that its plugins
// directory is the run's own), a plugins directory, the run's HOME and
// TMPDIR. It stops the way an operator stops it in the foreground: with a
// line on its standard input.
#pragma once

#include <memory>
#include <string>

#include "harness/child_process.h"
#include "harness/contenders.h"
#include "harness/run_directory.h"

namespace bench {

class ServerRun {
public:
    // Lays out `directory`/server with an empty plugins directory.
    ServerRun(const BenchPaths& paths, RunDirectory& directory);

    std::string pluginsDir() const { return serverDir + "/plugins"; }
    void installPlugin(const std::string& builtFile, const std::string& fileName);
    // Starts the server and waits until it says it is up. Waits out another
    // copy holding the single-instance claim (a test elsewhere on the
    // machine) for up to a minute.
    bool start(const std::map<std::string, std::string>& environment, std::string& error);
    pid_t pid() const { return process ? process->pid() : -1; }
    bool running();
    // Stops it; false (with the reason) when it would not stop cleanly.
    bool stop(std::string& error);
    std::string output() const;

private:
    bool startOnce(const std::map<std::string, std::string>& environment, std::string& error,
                   bool& anotherRunning);

    const BenchPaths& paths;
    RunDirectory& directory;
    std::string serverDir;
    std::unique_ptr<ChildProcess> process;
};

}  // namespace bench
