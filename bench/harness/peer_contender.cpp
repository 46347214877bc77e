// The peer contenders' runs: the harness started again as a child process
// (--peer NAME --config FILE) that runs one workload through one peer hub
// and writes the same reports the server's plugins write.

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "common/run_config.h"
#include "harness/child_process.h"
#include "harness/contenders.h"
#include "harness/run_directory.h"

namespace bench {

namespace {

std::string thisExecutable() {
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored).string();
}

// The peers' exit statuses are only about setting up; what arrived is
// judged from the reports.
RunOutcome outcomeOf(const ChildExit& exit, const RunConfig& config, RunDirectory& directory) {
    if (exit.status != 0) {
        return failedRun("exited with status " + std::to_string(exit.status) + ": " +
                         readWholeFile(directory.file("peer.err")).substr(0, 400));
    }
    RunOutcome outcome = judge(config.workload, readReports(config.workload, config.resultsDir));
    outcome.peakRssKiB = exit.maxRssKiB;
    return outcome;
}

}  // namespace

BenchPaths builtPaths(const std::string& scratch) {
    return BenchPaths{TESSARD_BENCH_SERVER, "", TESSARD_BENCH_PLUGIN_DIR, thisExecutable(), scratch};
}

const std::vector<std::string>& contenderNames() {
    static const std::vector<std::string> names{"tessard",     "zmq-bounded", "zmq-unbounded",
                                                "zmq-threads", "gstreamer",   "floor"};
    return names;
}

bool isContender(const std::string& name) {
    const auto& names = contenderNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string contenderNamed(const std::string& name) {
    if (name == "zmq-poll") return "zmq-unbounded";
    return isContender(name) ? name : "";
}

const std::vector<std::string>& ratioContenders() {
    static const std::vector<std::string> names{"tessard", "zmq-bounded", "zmq-unbounded"};
    return names;
}

std::vector<std::string> hubPeersOf(const std::vector<std::string>& contenders) {
    std::vector<std::string> peers;
    for (const std::string& c : contenders) {
        if (c.rfind("tessard", 0) != 0 && c != "floor") peers.push_back(c);
    }
    return peers;
}

bool faultApplies(const std::string& contender, Fault fault) {
    if (fault != Fault::NoCopy) return true;
    return contender.rfind("tessard", 0) != 0 && contender != "floor";
}

RunOutcome runContender(const std::string& contender, const Workload& workload, Fault fault,
                        const BenchPaths& paths) {
    if (contender == "tessard") return runTessard(workload, fault, paths);
    if (contender == "tessard-other") {
        if (paths.otherServer.empty()) return failedRun("no other build to compare with");
        BenchPaths other = paths;
        other.server = paths.otherServer;
        return runTessard(workload, fault, other);
    }
    return runPeer(contender, workload, fault, paths);
}

RunOutcome runPeer(const std::string& contender, const Workload& workload, Fault fault,
                   const BenchPaths& paths) {
    RunDirectory directory(paths.scratch, contender + "-" + workload.name);
    RunConfig config{workload, fault, directory.results(), ""};
    writeRunConfig(directory.file("bench.conf"), config);
    ChildOptions options;
    options.program = paths.self;
    options.arguments = {"--peer", contender, "--config", directory.file("bench.conf")};
    options.workingDirectory = directory.path();
    options.environment = directory.ownEnvironment();
    // One plugin registry for all GStreamer runs, so each does not rescan.
    options.environment["GST_REGISTRY"] = paths.scratch + "/gstreamer-registry.bin";
    options.outputPath = directory.file("peer.out");
    options.errorPath = directory.file("peer.err");
    ChildProcess child(options);
    const auto limit = std::chrono::seconds(900 + static_cast<int>(workload.scheduledSeconds()));
    std::optional<ChildExit> exit = child.wait(limit);
    RunOutcome outcome = exit ? outcomeOf(*exit, config, directory)
                              : (child.kill(), failedRun("did not finish in time and was killed"));
    if (!outcome.passed) {
        directory.keep();
        outcome.failure += " (run kept in " + directory.path() + ")";
    }
    return outcome;
}

}  // namespace bench
