#include "harness/plots.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "harness/statistics.h"

extern char** environ;

namespace bench {

namespace {

constexpr std::size_t kCurvePoints = 2000;

const char* kTerminal = "set terminal pngcairo size 960,600 font 'sans,10'\n";

bool runGnuplot(const std::string& directory, const std::string& script) {
    std::string program = "gnuplot";
    std::string name = script;
    char* argv[] = {program.data(), name.data(), nullptr};
    // Run in the directory, so that the scripts name their files relatively.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t child = 0;
    const int failed = posix_spawnp(&child, "gnuplot", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return false;
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<double> passedThroughput(const BenchResults& results, const std::string& workload,
                                     const std::string& contender) {
    std::vector<double> values;
    const auto w = results.outcomes.find(workload);
    if (w == results.outcomes.end()) return values;
    const auto c = w->second.find(contender);
    if (c == w->second.end()) return values;
    for (const RunOutcome& o : c->second) {
        if (o.passed) values.push_back(o.throughput);
    }
    return values;
}

bool writeFanOut(const BenchResults& results, const std::string& directory) {
    const std::vector<std::string>& contenders = results.selection.contenders;
    std::ofstream data(directory + "/w3.dat");
    data << "# K, then median, min and max messages/s for:";
    for (const std::string& c : contenders) data << ' ' << c;
    data << '\n';
    bool any = false;
    for (int k : fanOutDegrees()) {
        data << k;
        for (const std::string& c : contenders) {
            const Spread s = spreadOf(passedThroughput(results, "W3K" + std::to_string(k), c));
            any |= s.count > 0;
            if (s.count == 0) data << " NaN NaN NaN";
            else data << ' ' << s.median << ' ' << s.min << ' ' << s.max;
        }
        data << '\n';
    }
    std::ofstream gp(directory + "/w3.gp");
    gp << kTerminal << "set output 'w3.png'\n"
       << "set title 'W3 fan-out: 200,000 messages of 4 KiB, messages/s against consumers (median, range over rounds)'\n"
       << "set logscale x 2\nset xtics (1, 2, 8, 32)\nset xrange [0.8:40]\n"
       << "set xlabel 'consumers K'\nset ylabel 'messages/s'\nset logscale y\nset grid\n"
       << "set key outside right top\nplot ";
    for (std::size_t i = 0; i < contenders.size(); ++i) {
        const std::size_t column = 2 + 3 * i;
        gp << (i ? ", " : "") << "'w3.dat' using 1:" << column << ':'
           << column + 1 << ':' << column + 2 << " with yerrorlines lw 2 title '" << contenders[i] << "'";
    }
    gp << '\n';
    return any;
}

std::vector<double> pooledLatencies(const BenchResults& results, const std::string& contender) {
    std::vector<double> all;
    const auto w = results.outcomes.find("W4");
    if (w == results.outcomes.end()) return all;
    const auto c = w->second.find(contender);
    if (c == w->second.end()) return all;
    for (const RunOutcome& o : c->second) {
        if (o.passed) all.insert(all.end(), o.latenciesUs.begin(), o.latenciesUs.end());
    }
    std::sort(all.begin(), all.end());
    return all;
}

// The cumulative distribution, thinned to about kCurvePoints, keeping the last.
void writeCurve(const std::vector<double>& sorted, const std::string& path) {
    std::ofstream data(path);
    data << "# latency us, fraction of messages at or below\n";
    const std::size_t step = std::max<std::size_t>(1, sorted.size() / kCurvePoints);
    for (std::size_t i = 0; i < sorted.size(); i += step) {
        data << sorted[i] << ' ' << static_cast<double>(i + 1) / static_cast<double>(sorted.size()) << '\n';
    }
    if (!sorted.empty()) data << sorted.back() << " 1\n";
}

bool writeLatency(const BenchResults& results, const std::string& directory) {
    std::ostringstream plots;
    for (const std::string& c : results.selection.contenders) {
        const std::vector<double> latencies = pooledLatencies(results, c);
        if (latencies.empty()) continue;
        writeCurve(latencies, directory + "/w4-" + c + ".dat");
        plots << (plots.str().empty() ? "" : ", ") << "'w4-" << c
              << ".dat' using 1:2 with lines lw 2 title '" << c << "'";
    }
    if (plots.str().empty()) return false;
    std::ofstream gp(directory + "/w4.gp");
    gp << kTerminal << "set output 'w4-latency.png'\n"
       << "set title 'W4 recording load: latency from send to delivery at the last consumer (all rounds)'\n"
       << "set logscale x\nset xlabel 'latency, us'\nset ylabel 'fraction of messages at or below'\n"
       << "set yrange [0:1.02]\nset grid\nset key right bottom\nplot " << plots.str() << '\n';
    return true;
}

}  // namespace

std::vector<std::string> writePlots(const BenchResults& results, const std::string& directory,
                                    std::string& note) {
    std::vector<std::string> made;
    if (writeFanOut(results, directory)) {
        if (runGnuplot(directory, "w3.gp")) made.push_back(directory + "/w3.png");
        else note += "gnuplot could not draw w3.png; ";
    }
    if (writeLatency(results, directory)) {
        if (runGnuplot(directory, "w4.gp")) made.push_back(directory + "/w4-latency.png");
        else note += "gnuplot could not draw w4-latency.png; ";
    }
    return made;
}

}  // namespace bench
