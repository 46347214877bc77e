// tessard_bench: the message-path benchmark's harness (see options.h for
// its command line). A run has up to two parts: the ratio rounds (W1 and
// W3 at K = 32, lengthened, the server against ZeroMQ bounded and
// unbounded, or against another build of itself) and the survey (every
// workload and contender). A full run publishes its results under
// bench/results and into docs/performance.md; any other run writes them
// under the build directory. The exit status is 0 when every run passed its
// checks, 1 when one failed, 2 on a usage error.

#include <filesystem>
#include <fstream>
#include <iostream>

#include "harness/options.h"
#include "harness/other_build.h"
#include "harness/plots.h"
#include "harness/publish.h"
#include "harness/report_table.h"
#include "harness/server_memory.h"
#include "harness/verdicts.h"
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

std::vector<Workload> scaledAll(const std::vector<Workload>& workloads, double scale) {
    std::vector<Workload> out;
    for (const Workload& w : workloads) out.push_back(scale == 1.0 ? w : scaled(w, scale));
    return out;
}

Selection surveySelection(const Options& o) {
    return Selection{scaledAll(o.workloads, o.scale), o.contenders, o.rounds, o.fault};
}

Selection ratioSelection(const Options& o) {
    const std::vector<std::string> compared{"tessard", "tessard-other"};
    return Selection{scaledAll(ratioWorkloads(), o.scale),
                     o.compareBuild.empty() ? ratioContenders() : compared, o.ratioRounds, o.fault};
}

std::string ratioSection(const Options& o, const BenchResults& ratios, const OtherBuild* other) {
    std::string md;
    if (other) {
        md += "### This build against another\n\ntessard: " + std::string(TESSARD_BENCH_SERVER) +
              "; tessard-other: " + other->server + ".";
        if (!other->difference.empty()) md += " **The builds differ: " + other->difference + "**";
        md += "\n\n" + ratioRoundsMarkdown(ratios) + "\n" + buildComparisonMarkdown(ratios);
        return md;
    }
    md += "### W1 and W3 at K = 32 against ZeroMQ\n\n" + ratioRoundsMarkdown(ratios);
    if (o.fault == Fault::None) md += "\n" + goalMarkdown(ratios);
    return md;
}

std::string failuresSection(const BenchResults& ratios, const BenchResults& survey) {
    const std::string failed = failuresMarkdown(ratios) + failuresMarkdown(survey);
    return "### Failures\n\n" +
           (failed.empty() ? "None: every run delivered every message intact and in order.\n" : failed);
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

int runBench(const Options& o, const BenchPaths& paths, const OtherBuild* other) {
    const MachineInfo machine = thisMachine();
    const std::string out = outputDir(o, std::string(TESSARD_BENCH_BUILD_DIR) + "/results");
    std::filesystem::create_directories(out);
    BenchResults ratios, survey;
    std::string markdown;
    if (o.ratioRounds > 0) {
        ratios = runRounds(ratioSelection(o), paths, std::cout);
        writeFile(out + "/ratio-rounds.tsv", roundsTsv(ratios));
        markdown += ratioSection(o, ratios, other) + "\n";
    }
    std::vector<std::string> plots;
    if (o.rounds > 0) {
        survey = runRounds(surveySelection(o), paths, std::cout);
        writeFile(out + "/rounds.tsv", roundsTsv(survey));
        std::string note;
        plots = writePlots(survey, out, note);
        if (!note.empty()) std::cerr << note << '\n';
        markdown += "### Every workload and contender\n\n" + surveyMarkdown(survey) + "\n";
    }
    markdown += failuresSection(ratios, survey) + "\n";
    if (o.baseline || o.full()) markdown += baselineMarkdown(measureBareServer(paths, 10)) + "\n";
    markdown += machineMarkdown(machine);
    std::ofstream latest(out + "/latest.md");
    latest << "# tessard message-path benchmark\n\n" << markdown << '\n';
    for (const std::string& plot : plots) {
        const std::string name = std::filesystem::path(plot).filename().string();
        latest << "![" << name << "](" << name << ")\n\n";
    }
    if (o.full() && !publishToDocs(markdown, plots)) std::cerr << "docs/performance.md not updated\n";
    std::cout << '\n' << markdown << "\nwritten to " << out << '\n';
    return allPassed(ratios) && allPassed(survey) ? 0 : 1;
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
    BenchPaths paths = builtPaths(scratch);
    std::optional<OtherBuild> other;
    if (!options->compareBuild.empty()) {
        other = otherBuildAt(options->compareBuild, error);
        if (!other) return std::cerr << error << '\n', 2;
        if (!other->difference.empty()) std::cerr << "warning: the builds differ: " << other->difference << "\n";
        paths.otherServer = other->server;
    }
    switch (options->mode) {
        case Options::Mode::Soak: return runSoakMode(*options, paths);
        case Options::Mode::Idle: return runIdleMode(*options, paths);
        default: return runBench(*options, paths, other ? &*other : nullptr);
    }
}
