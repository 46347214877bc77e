#include "harness/server_run.h"

#include <filesystem>
#include <thread>

#include "common/clock.h"

namespace bench {

namespace {

constexpr const char* kReadyLine = "press any key to stop the core";
constexpr const char* kAnotherRunning = "already running";

}  // namespace

ServerRun::ServerRun(const BenchPaths& paths, RunDirectory& directory)
    : paths(paths), directory(directory), serverDir(directory.file("server")) {
    std::filesystem::create_directories(pluginsDir());
    // A copy: the server follows links in its own path to find the plugins
    // directory beside the real file, which would be the build's.
    std::filesystem::copy_file(paths.server, serverDir + "/tessard",
                               std::filesystem::copy_options::overwrite_existing);
}

void ServerRun::installPlugin(const std::string& builtFile, const std::string& fileName) {
    // A copy, not a link: the dynamic loader would take two names of one
    // file for one library.
    std::filesystem::copy_file(builtFile, pluginsDir() + "/" + fileName,
                               std::filesystem::copy_options::overwrite_existing);
}

bool ServerRun::startOnce(const std::map<std::string, std::string>& environment,
                          std::string& error, bool& anotherRunning) {
    ChildOptions options;
    options.program = serverDir + "/tessard";
    options.arguments = {"-d"};
    options.workingDirectory = serverDir;
    options.environment = directory.ownEnvironment();
    for (const auto& [name, value] : environment) options.environment[name] = value;
    options.outputPath = directory.file("server.out");
    options.errorPath = directory.file("server.err");
    process = std::make_unique<ChildProcess>(options);
    const std::int64_t deadline = nowNs() + 30000000000;
    while (nowNs() < deadline) {
        if (output().find(kReadyLine) != std::string::npos) return true;
        if (process->poll()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::string errors = readWholeFile(options.errorPath);
    anotherRunning = errors.find(kAnotherRunning) != std::string::npos;
    error = "the server did not come up: " + errors.substr(0, 400);
    process->kill();
    return false;
}

bool ServerRun::start(const std::map<std::string, std::string>& environment, std::string& error) {
    for (int attempt = 0; attempt < 30; ++attempt) {
        bool anotherRunning = false;
        if (startOnce(environment, error, anotherRunning)) return true;
        if (!anotherRunning) return false;
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    return false;
}

bool ServerRun::running() { return process && !process->poll(); }

bool ServerRun::stop(std::string& error) {
    if (!process) return false;
    process->writeInput("\n");
    std::optional<ChildExit> exit = process->wait(std::chrono::seconds(60));
    if (!exit) {
        process->kill();
        error = "the server did not stop within 60 s and was killed";
        return false;
    }
    if (exit->status != 0) {
        error = "the server exited with status " + std::to_string(exit->status);
        return false;
    }
    return true;
}

std::string ServerRun::output() const { return readWholeFile(directory.file("server.out")); }

}  // namespace bench
