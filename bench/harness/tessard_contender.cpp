// The tessard contender: the real server running the workload with the
// benchmark plugins loaded by its own loader.
//
// The harness lays out the run, starts the server, and creates the start
// file once the server is up; the producer plugin begins then. When every
// consumer has left its marker (or the producers have finished and a grace
// period has passed without them) the harness reads the server's peak
// resident memory and stops it; the plugins write their reports in Close.

#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "common/clock.h"
#include "common/run_config.h"
#include "harness/child_process.h"
#include "harness/contenders.h"
#include "harness/proc_status.h"
#include "harness/server_run.h"
#include "plugins/protocol.h"

namespace bench {

namespace {

constexpr std::int64_t kSecondNs = 1000000000;

bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

void installBenchPlugins(ServerRun& server, const BenchPaths& paths, int consumers) {
    server.installPlugin(paths.plugins + "/bench_producer.so", kProducerLibrary);
    for (int i = 0; i < consumers; ++i) {
        server.installPlugin(paths.plugins + "/bench_consumer.so",
                             kConsumerLibraryPrefix + std::to_string(i) + ".so");
    }
}

// Watches a running workload until its consumers are done or it is
// hopeless; false when it did not end in time.
class CompletionWatch {
public:
    CompletionWatch(const Workload& workload, const std::string& results)
        : workload(workload), results(results), startNs(nowNs()) {}

    bool waitFor(ServerRun& server, const ServerSampler* sampler) {
        std::int64_t nextSample = startNs;
        while (server.running()) {
            const std::int64_t now = nowNs();
            if (sampler && now >= nextSample) {
                sampler->sample(server.pid(), now - startNs);
                nextSample += sampler->everyNs;
            }
            if (consumersDone()) return true;
            if (hopeless(server.pid(), now)) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    bool consumersDone() {
        while (done < workload.consumers && exists(consumerDonePath(results, done))) ++done;
        return done == workload.consumers;
    }
    // The server's queue is unbounded, so delivering may take far longer
    // than sending did. The run is given up only once the producers have
    // finished and the server has done no work (less CPU time than an idle
    // server spends) for ten seconds, when its producers overrun their
    // schedule by ten minutes, or after half an hour in all.
    bool hopeless(pid_t pid, std::int64_t now) {
        const auto schedule = static_cast<std::int64_t>(workload.scheduledSeconds() * 1e9);
        if (now - startNs > schedule + 1800 * kSecondNs) return true;
        if (!producersDone) {
            producersDone = exists(producersDonePath(results));
            return !producersDone && now - startNs > schedule + 600 * kSecondNs;
        }
        if (now - lastCheckNs < kSecondNs) return false;
        lastCheckNs = now;
        const std::int64_t cpu = cpuMillis(pid);
        if (cpu - busyCpuMs > kIdleCpuMs || quietSinceNs == 0) {
            busyCpuMs = cpu;
            quietSinceNs = now;
        }
        return now - quietSinceNs > 10 * kSecondNs;
    }

    static constexpr std::int64_t kIdleCpuMs = 30;

    const Workload& workload;
    const std::string results;
    const std::int64_t startNs;
    int done = 0;
    bool producersDone = false;
    std::int64_t lastCheckNs = 0;
    std::int64_t busyCpuMs = 0;
    std::int64_t quietSinceNs = 0;
};

// The loader names a plugin it rejected or one that lacks an entry point
// on standard error; such a run cannot deliver, so it ends at once.
std::string pluginTrouble(const RunDirectory& directory) {
    const std::string errors = readWholeFile(directory.file("server.err"));
    for (const char* sign : {"load returned", "does not export", "Failed to load"}) {
        const auto at = errors.find(sign);
        if (at != std::string::npos) return errors.substr(errors.rfind('\n', at) + 1, 300);
    }
    return "";
}

RunOutcome runPrepared(ServerRun& server, RunDirectory& directory, const RunConfig& config,
                       const ServerSampler* sampler) {
    std::string error;
    if (!server.start({{kConfigVariable, directory.file("bench.conf")}}, error)) {
        return failedRun(error);
    }
    const std::string trouble = pluginTrouble(directory);
    if (!trouble.empty()) {
        server.stop(error);
        return failedRun("the server did not take the plugins: " + trouble);
    }
    touch(config.startFile);
    CompletionWatch watch(config.workload, config.resultsDir);
    const bool ended = watch.waitFor(server, sampler);
    const std::int64_t peak = statusKiB(server.pid(), "VmHWM");
    if (!server.stop(error)) return failedRun(error);
    RunOutcome outcome = judge(config.workload, readReports(config.workload, config.resultsDir));
    if (outcome.passed && !ended) outcome = failedRun("the consumers' markers never appeared");
    outcome.peakRssKiB = peak;
    return outcome;
}

}  // namespace

RunOutcome runTessard(const Workload& workload, Fault fault, const BenchPaths& paths,
                      const ServerSampler* sampler) {
    if (!faultApplies("tessard", fault)) return failedRun("the fault cannot be made in tessard");
    RunDirectory directory(paths.scratch, "tessard-" + workload.name);
    RunConfig config{workload, fault, directory.results(), directory.file("start")};
    writeRunConfig(directory.file("bench.conf"), config);
    ServerRun server(paths, directory);
    installBenchPlugins(server, paths, workload.consumers);
    RunOutcome outcome = runPrepared(server, directory, config, sampler);
    if (!outcome.passed) {
        directory.keep();
        outcome.failure += " (run kept in " + directory.path() + ")";
    }
    return outcome;
}

}  // namespace bench
