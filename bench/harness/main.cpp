// tessard_bench: the message-path benchmark's harness (see options.h for
// its command line). A full run publishes its results under bench/results
// and into docs/performance.md; any other run writes them under the build
// directory. The exit status is 0 when every run passed its checks, 1 when
// one failed, 2 on a usage error.

#include <filesystem>
#include <fstream>
#include <iostream>

#include "harness/options.h"
#include "harness/plots.h"
#include "harness/publish.h"
#include "harness/report_table.h"
#include "peers/peers.h"

namespace {

using namespace bench;

std::string outputDir(const Options& o, const std::string& fallback) {
    if (!o.out.empty()) return o.out;
    return o.full() ? std::string(TESSARD_BENCH_SOURCE_DIR) + "/results" : fallback;
}

bool allPassed(const BenchResults& results) {
    for (const auto& [workload, byContender] : results.outcomes) {
        for (const auto& [contender, runs] : byContender) {
            for (const RunOutcome& o : runs) {
                if (!o.passed) return false;
            }
        }
    }
    return true;
}

Selection selectionOf(const Options& o) {
    Selection s{{}, o.contenders, o.rounds, o.fault};
    for (const Workload& w : o.workloads) s.workloads.push_back(o.scale == 1.0 ? w : scaled(w, o.scale));
    return s;
}

int runBench(const Options& o, const BenchPaths& paths) {
    const std::string out = outputDir(o, std::string(TESSARD_BENCH_BUILD_DIR) + "/results");
    std::filesystem::create_directories(out);
    const BenchResults results = runRounds(selectionOf(o), paths, std::cout);
    ServerBaseline baseline;
    if (o.baseline || o.full()) baseline = measureBareServer(paths, 10);
    const std::string markdown =
        resultsMarkdown(results, thisMachine(), o.baseline || o.full() ? &baseline : nullptr);
    std::ofstream(out + "/rounds.tsv") << roundsTsv(results);
    std::string note;
    const std::vector<std::string> plots = writePlots(results, out, note);
    if (!note.empty()) std::cerr << note << '\n';
    std::ofstream latest(out + "/latest.md");
    latest << "# tessard message-path benchmark\n\n" << markdown << '\n';
    for (const std::string& plot : plots) {
        const std::string name = std::filesystem::path(plot).filename().string();
        latest << "![" << name << "](" << name << ")\n\n";
    }
    if (o.full() && !publishToDocs(markdown, plots)) std::cerr << "docs/performance.md not updated\n";
    std::cout << '\n' << markdown << "\nwritten to " << out << '\n';
    return allPassed(results) ? 0 : 1;
}

int runSoakMode(const Options& o, const BenchPaths& paths) {
    const std::string out = o.out.empty() ? std::string(TESSARD_BENCH_BUILD_DIR) + "/results" : o.out;
    std::filesystem::create_directories(out);
    const SoakReport soak = runSoak(paths, o.seconds ? o.seconds : 600, o.sampleSeconds);
    const std::string markdown = soakMarkdown(soak);
    std::ofstream(out + "/soak.md") << "# tessard memory soak\n\n" << markdown;
    std::cout << markdown << "\nwritten to " << out << "/soak.md\n";
    return soak.outcome.passed && !soak.grew ? 0 : 1;
}

int runIdleMode(const Options& o, const BenchPaths& paths) {
    const ServerBaseline baseline = measureBareServer(paths, o.seconds ? o.seconds : 10);
    std::cout << baselineMarkdown(baseline);
    return baseline.measured ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::optional<Options> options = parseOptions(argc, argv, error);
    if (!options) {
        std::cerr << error << '\n' << usage();
        return 2;
    }
    if (options->mode == Options::Mode::Help) return std::cout << usage(), 0;
    if (options->mode == Options::Mode::Peer) return peerMain(options->peer, options->config);
    const std::string scratch = std::string(TESSARD_BENCH_BUILD_DIR) + "/scratch";
    std::filesystem::create_directories(scratch);
    const BenchPaths paths = builtPaths(scratch);
    switch (options->mode) {
        case Options::Mode::Soak: return runSoakMode(*options, paths);
        case Options::Mode::Idle: return runIdleMode(*options, paths);
        default: return runBench(*options, paths);
    }
}
