// A process the harness starts: the server, or the harness itself running
// one peer contender.
//
// The child gets the environment of the harness plus the given variables
// (its own HOME and TMPDIR among them), its standard output and error go
// to files, and its standard input is a pipe the harness writes to. A child
// still running when the object goes is killed, by its own PID, and reaped:
// the harness leaves no process behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

struct ChildOptions {
    std::string program;
    std::vector<std::string> arguments;  // argv[1..]
    std::string workingDirectory;
    std::map<std::string, std::string> environment;  // added or replaced
    std::string outputPath;  // standard output
    std::string errorPath;   // standard error
};

struct ChildExit {
    int status = 0;              // exit code, or 128 + signal
    std::int64_t maxRssKiB = 0;  // the child's peak resident memory
};

class ChildProcess {
public:
    explicit ChildProcess(const ChildOptions& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return child > 0; }
    pid_t pid() const { return child; }
    void writeInput(const std::string& text);
    // Reaps the child if it has ended; nothing while it runs.
    std::optional<ChildExit> poll();
    // Waits up to `limit` for the child to end.
    std::optional<ChildExit> wait(std::chrono::milliseconds limit);
    // SIGKILL and reap.
    ChildExit kill();

private:
    pid_t child = -1;
    int input = -1;
    std::optional<ChildExit> ended;
};

std::string readWholeFile(const std::string& path);

}  // namespace bench
