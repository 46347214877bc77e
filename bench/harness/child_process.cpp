#include "harness/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace bench {

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : extra) variables[name] = value;
    std::vector<std::string> flat;
    for (const auto& [name, value] : variables) flat.push_back(name + "=" + value);
    return flat;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& text : strings) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

ChildExit decode(int raw, const rusage& usage) {
    ChildExit exit;
    exit.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    exit.maxRssKiB = usage.ru_maxrss;
    return exit;
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void becomeChild(const ChildOptions& options, int readEnd, char** argv, char** envp) {
    dup2(readEnd, STDIN_FILENO);
    const int out = open(options.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(options.errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) dup2(out, STDOUT_FILENO);
    if (err >= 0) dup2(err, STDERR_FILENO);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    execve(options.program.c_str(), argv, envp);
    _exit(127);
}

}  // namespace

ChildProcess::ChildProcess(const ChildOptions& options) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    std::vector<std::string> arguments{options.program};
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environment = mergedEnvironment(options.environment);
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(environment);
    child = fork();
    if (child == 0) becomeChild(options, ends[0], argv.data(), envp.data());
    close(ends[0]);
    input = ends[1];
    if (child < 0) close(input), input = -1;
}

ChildProcess::~ChildProcess() {
    if (input >= 0) close(input);
    if (child > 0 && !ended) kill();
}

void ChildProcess::writeInput(const std::string& text) {
    if (input >= 0 && ::write(input, text.data(), text.size()) < 0) {
        close(input);
        input = -1;
    }
}

std::optional<ChildExit> ChildProcess::poll() {
    if (ended || child <= 0) return ended;
    int raw = 0;
    rusage usage{};
    if (wait4(child, &raw, WNOHANG, &usage) == child) ended = decode(raw, usage);
    return ended;
}

std::optional<ChildExit> ChildProcess::wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!poll() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ended;
}

ChildExit ChildProcess::kill() {
    if (ended || child <= 0) return ended.value_or(ChildExit{});
    ::kill(child, SIGKILL);
    int raw = 0;
    rusage usage{};
    wait4(child, &raw, 0, &usage);
    ended = decode(raw, usage);
    return *ended;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace bench
