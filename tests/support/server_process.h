// The real executable started as a process, for the tests of the run modes.
//
// Standard output and error go to files in the test's directory, standard
// input is a pipe the test writes to or closes. The environment is the
// test's own: HOME, PATH and the sanitizers' report path are set from the
// options. A process still running when the object goes is killed and
// reaped, so no test leaves one behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ServerOptions {
    std::string program;              // the path to execute
    std::vector<std::string> arguments;  // argv[1..]
    std::string argv0;                // argv[0]; the program when empty
    std::string workingDirectory;     // the current directory of the child
    std::string home;                 // HOME
    std::map<std::string, std::string> environment;  // more variables
};

class ServerProcess {
public:
    // Starts the process. Its output files are `outputDir`/stdout and stderr.
    ServerProcess(const ServerOptions& options, const std::string& outputDir);
    ~ServerProcess();

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    pid_t pid() const { return child; }
    void writeInput(const std::string& text);
    void closeInput();
    void signal(int number);

    // The exit status once the process has ended (128 + signal when killed
    // by one), or nothing if it is still running after `limit`.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(30));

    std::string output() const;
    std::string errors() const;

    // Waits until the output or error file contains `text`.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

private:
    pid_t child = -1;
    int input = -1;
    std::optional<int> status;
    std::string outputPath;
    std::string errorPath;
};

// Whether the process `pid` is gone, reaped by whoever its parent is; waits
// up to `limit`. A zombie still counts as present.
bool waitUntilGone(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(15));

// The sanitizer reports that processes started with sanitizerEnvironment()
// wrote into `directory`, concatenated; empty when there are none.
std::string sanitizerReports(const std::string& directory);
// Environment variables that make the sanitizers write their reports as
// files into `directory` (a daemon's standard error is /dev/null).
std::map<std::string, std::string> sanitizerEnvironment(const std::string& directory);

// The built server executable.
std::string serverExecutable();
// Puts the built server at `path`, so that it runs from that directory: a
// hard link, or a copy where the file systems differ. Never a symbolic link,
// which the server follows back to the build tree.
void placeServerExecutable(const std::string& path);
