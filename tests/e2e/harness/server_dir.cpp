#include "server_dir.h"

#include <filesystem>

#include "host_texts.h"
#include "plugin_folder.h"

namespace fs = std::filesystem;

namespace {

// Tells the guard which processes belong to this directory's launches.
std::string markerOf(const TempDir& directory) {
    return "TESSARD_HOST_CALL_LOG=" + directory.path() + "/";
}

std::map<std::string, std::string> sanitizerVariables(const std::string& reports) {
    std::map<std::string, std::string> variables = sanitizerEnvironment(reports);
    // The host shim comes before the sanitizer's runtime in the list of
    // libraries, which AddressSanitizer refuses unless told not to check.
    variables["ASAN_OPTIONS"] += ":verify_asan_link_order=0";
    return variables;
}

// The host shim first, so that it sees every call the others pass on. A
// server built with ThreadSanitizer (as this test executable is then) also
// gets select() through poll(), or no signal could stop it.
std::string preloadOf(const Launch& launch) {
    std::string libraries = TESSARD_HOST_SHIM;
#ifdef __SANITIZE_THREAD__
    libraries += std::string(":") + TESSARD_SELECT_THROUGH_POLL;
#endif
    for (const std::string& library : launch.preload) libraries += ":" + library;
    return libraries;
}

}  // namespace

ServerDir::ServerDir() : guard(markerOf(directory)) {
    for (const char* name : {"bin/plugins", "home", "elsewhere", "runs", "reports"}) {
        fs::create_directories(directory / name);
    }
    placeServerExecutable(executable());
    fs::copy_file(testPluginPath("host_call_log"), bin() + "/plugins/host_call_log.so");
}

ServerDir::~ServerDir() {
    for (const std::string& name : runs) {
        for (const ForkRecord& fork : shim(name).forks()) guard.watch(fork.child);
    }
}

std::map<std::string, std::string> ServerDir::environmentOf(const std::string& name,
                                                            const Launch& launch) const {
    std::map<std::string, std::string> variables = sanitizerVariables(directory / "reports");
    variables["TESSARD_HOST_CALL_LOG"] = runDir(name) + "/calls.log";
    variables["TESSARD_TEST_SHIM_LOG"] = runDir(name) + "/shim.log";
    if (launch.wrapper.empty()) variables["LD_PRELOAD"] = preloadOf(launch);
    for (const auto& [variable, value] : launch.environment) variables[variable] = value;
    return variables;
}

std::unique_ptr<ServerProcess> ServerDir::start(const std::string& name, const Launch& launch) {
    fs::create_directories(runDir(name));
    runs.push_back(name);
    ServerOptions options;
    options.program = launch.program.empty() ? executable() : launch.program;
    options.argv0 = launch.argv0;
    options.arguments = launch.arguments;
    options.workingDirectory = launch.workingDirectory.empty() ? elsewhere() : launch.workingDirectory;
    options.home = launch.home.empty() ? home() : launch.home;
    options.environment = environmentOf(name, launch);
    if (!launch.wrapper.empty()) {
        std::vector<std::string> command(launch.wrapper.begin() + 1, launch.wrapper.end());
        command.insert(command.end(), {"/usr/bin/env", "LD_PRELOAD=" + preloadOf(launch),
                                       options.program});
        command.insert(command.end(), launch.arguments.begin(), launch.arguments.end());
        options.program = launch.wrapper.front();
        options.argv0.clear();
        options.arguments = command;
    }
    return std::make_unique<ServerProcess>(options, runDir(name));
}

std::unique_ptr<ServerProcess> ServerDir::startForeground(const std::string& name,
                                                          const std::string& debugSwitch) {
    Launch launch;
    launch.arguments = {debugSwitch};
    auto process = start(name, launch);
    process->waitForOutput(kPromptText);
    return process;
}

DaemonLaunch ServerDir::startDaemon(const std::string& name, const Launch& launch) {
    auto launcher = start(name, launch);
    DaemonLaunch result;
    result.launcherStatus = launcher->wait(std::chrono::seconds(30));
    result.launcherErrors = launcher->errors();
    result.daemon = pidFileOwner();
    for (const ForkRecord& fork : shim(name).forks()) guard.watch(fork.child);
    if (result.daemon > 0 && carriesMarker(result.daemon, markerOf(directory))) {
        guard.watch(result.daemon);
    }
    return result;
}

std::string ServerDir::sanitizerReports() const { return ::sanitizerReports(directory / "reports"); }

std::string workingDirectoryOf(pid_t pid) {
    std::error_code error;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd", error).string();
}
