#include "server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "temp_dir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> childEnvironment(const ServerOptions& options) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    if (!options.home.empty()) variables["HOME"] = options.home;
    for (const auto& [name, value] : options.environment) variables[name] = value;
    std::vector<std::string> flattened;
    for (const auto& [name, value] : variables) flattened.push_back(name + "=" + value);
    return flattened;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& text : strings) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

int decode(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

}  // namespace

ServerProcess::ServerProcess(const ServerOptions& options, const std::string& outputDir)
    : outputPath(outputDir + "/stdout"), errorPath(outputDir + "/stderr") {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> arguments{options.argv0.empty() ? options.program : options.argv0};
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environment = childEnvironment(options);
    std::vector<char*> argv = pointers(arguments);
    std::vector<char*> envp = pointers(environment);
    child = fork();
    if (child == 0) {
        dup2(pipeEnds[0], STDIN_FILENO);
        const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
            _exit(126);
        }
        execve(options.program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(pipeEnds[0]);
    input = pipeEnds[1];
}

ServerProcess::~ServerProcess() {
    closeInput();
    if (!status) {
        kill(child, SIGKILL);
        int raw = 0;
        waitpid(child, &raw, 0);
    }
}

void ServerProcess::writeInput(const std::string& text) {
    if (input >= 0 && ::write(input, text.data(), text.size()) < 0) closeInput();
}

void ServerProcess::closeInput() {
    if (input >= 0) close(input);
    input = -1;
}

void ServerProcess::signal(int number) { kill(child, number); }

std::optional<int> ServerProcess::wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!status) {
        int raw = 0;
        const pid_t done = waitpid(child, &raw, WNOHANG);
        if (done == child) {
            status = decode(raw);
            break;
        }
        if (Clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status;
}

std::string ServerProcess::output() const { return readFile(outputPath); }

std::string ServerProcess::errors() const { return readFile(errorPath); }

bool ServerProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (output().find(text) != std::string::npos || errors().find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool waitUntilGone(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (!std::filesystem::exists("/proc/" + std::to_string(pid))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::map<std::string, std::string> sanitizerEnvironment(const std::string& directory) {
    const std::string path = directory + "/sanitizer";
    std::map<std::string, std::string> variables;
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        const char* inherited = std::getenv(name);
        std::string value = inherited ? inherited : "";
        variables[name] = value + (value.empty() ? "" : ":") + "log_path=" + path;
    }
    return variables;
}

std::string sanitizerReports(const std::string& directory) {
    std::string reports;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (entry.path().filename().string().rfind("sanitizer", 0) == 0) {
            reports += readFile(entry.path().string());
        }
    }
    return reports;
}

std::string serverExecutable() { return TESSARD_EXECUTABLE; }

void placeServerExecutable(const std::string& path) {
    std::error_code linked;
    std::filesystem::create_hard_link(serverExecutable(), path, linked);
    if (linked) std::filesystem::copy_file(serverExecutable(), path);
}
