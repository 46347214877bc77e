#include "harness/report_table.h"

#include <cstdio>
#include <functional>
#include <sstream>

#include "harness/statistics.h"

namespace bench {

namespace {

using Runs = std::vector<RunOutcome>;

struct FigureRow {
    std::string label;
    std::function<double(const RunOutcome&)> value;
};

std::vector<FigureRow> figuresOf(const Workload& w) {
    if (w.figure == Figure::Latency) {
        return {{"p50 latency, us", [](const RunOutcome& o) { return o.latency.p50Us; }},
                {"p99 latency, us", [](const RunOutcome& o) { return o.latency.p99Us; }},
                {"max latency, us", [](const RunOutcome& o) { return o.latency.maxUs; }}};
    }
    const std::string label = w.figure == Figure::GigabytesPerSecond ? "payload GB/s" : "messages/s";
    return {{label, [](const RunOutcome& o) { return o.throughput; }}};
}

std::string number(double value) {
    char text[32];
    if (value >= 1e6) {
        std::snprintf(text, sizeof text, "%.2f M", value / 1e6);
    } else if (value >= 1e4) {
        std::snprintf(text, sizeof text, "%.0f k", value / 1e3);
    } else if (value >= 100) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%.3g", value);
    }
    return text;
}

std::string spreadCell(const Spread& s, const std::string& unit = "") {
    if (s.count == 0) return "-";
    return number(s.median) + unit + " (" + number(s.min) + "–" + number(s.max) + ")";
}

int failures(const Runs& runs) {
    int failed = 0;
    for (const RunOutcome& o : runs) failed += o.passed ? 0 : 1;
    return failed;
}

std::string figureCell(const Runs& runs, const FigureRow& row) {
    std::vector<double> values;
    for (const RunOutcome& o : runs) {
        if (o.passed) values.push_back(row.value(o));
    }
    const int failed = failures(runs);
    if (values.empty()) return failed ? "FAILED (" + std::to_string(failed) + "/" + std::to_string(runs.size()) + ")" : "-";
    std::string cell = spreadCell(spreadOf(values));
    if (failed) cell += ", " + std::to_string(failed) + " failed";
    return cell;
}

// tessard ÷ peer in each round where both passed.
std::string ratioCell(const Runs& tessard, const Runs& peer, const FigureRow& row) {
    std::vector<double> ratios;
    for (std::size_t r = 0; r < tessard.size() && r < peer.size(); ++r) {
        if (!tessard[r].passed || !peer[r].passed || row.value(peer[r]) == 0) continue;
        ratios.push_back(row.value(tessard[r]) / row.value(peer[r]));
    }
    if (ratios.empty()) return "-";
    const Spread s = spreadOf(ratios);
    char text[64];
    std::snprintf(text, sizeof text, "%.2f× (%.2f–%.2f)", s.median, s.min, s.max);
    return text;
}

std::string memoryCell(const Runs& runs) {
    std::vector<double> mib;
    for (const RunOutcome& o : runs) {
        if (o.peakRssKiB > 0) mib.push_back(static_cast<double>(o.peakRssKiB) / 1024.0);
    }
    if (mib.empty()) return "-";
    const Spread s = spreadOf(mib);
    char text[48];
    std::snprintf(text, sizeof text, "%.1f (max %.1f)", s.median, s.max);
    return text;
}

const Runs& runsOf(const BenchResults& results, const Workload& w, const std::string& contender) {
    static const Runs none;
    const auto byWorkload = results.outcomes.find(w.name);
    if (byWorkload == results.outcomes.end()) return none;
    const auto byContender = byWorkload->second.find(contender);
    return byContender == byWorkload->second.end() ? none : byContender->second;
}

// `leading` names the row-label columns, `columns` the value columns.
void header(std::ostringstream& md, const std::vector<std::string>& leading,
            const std::vector<std::string>& columns, const std::string& prefix = "") {
    md << '|';
    for (const std::string& l : leading) md << ' ' << l << " |";
    for (const std::string& c : columns) md << ' ' << prefix << c << " |";
    md << "\n|";
    for (std::size_t i = 0; i < leading.size() + columns.size(); ++i) md << "---|";
    md << '\n';
}

std::vector<std::string> peersOf(const Selection& s) {
    std::vector<std::string> peers;
    for (const std::string& c : s.contenders) {
        if (c != "tessard") peers.push_back(c);
    }
    return peers;
}

void figuresTable(std::ostringstream& md, const BenchResults& results) {
    header(md, {"workload", "figure"}, results.selection.contenders);
    for (const Workload& w : results.selection.workloads) {
        for (const FigureRow& row : figuresOf(w)) {
            md << "| " << w.name << " " << w.title << " | " << row.label << " |";
            for (const std::string& c : results.selection.contenders) {
                md << ' ' << figureCell(runsOf(results, w, c), row) << " |";
            }
            md << '\n';
        }
    }
}

void ratiosTable(std::ostringstream& md, const BenchResults& results) {
    const std::vector<std::string> peers = peersOf(results.selection);
    header(md, {"workload", "figure"}, peers, "tessard ÷ ");
    for (const Workload& w : results.selection.workloads) {
        for (const FigureRow& row : figuresOf(w)) {
            md << "| " << w.name << " | " << row.label << " |";
            for (const std::string& p : peers) {
                md << ' ' << ratioCell(runsOf(results, w, "tessard"), runsOf(results, w, p), row)
                   << " |";
            }
            md << '\n';
        }
    }
}

void memoryTable(std::ostringstream& md, const BenchResults& results) {
    header(md, {"workload"}, results.selection.contenders);
    for (const Workload& w : results.selection.workloads) {
        md << "| " << w.name << " |";
        for (const std::string& c : results.selection.contenders) {
            md << ' ' << memoryCell(runsOf(results, w, c)) << " |";
        }
        md << '\n';
    }
}

void failureList(std::ostringstream& md, const BenchResults& results) {
    bool any = false;
    for (const Workload& w : results.selection.workloads) {
        for (const std::string& c : results.selection.contenders) {
            const Runs& runs = runsOf(results, w, c);
            for (std::size_t r = 0; r < runs.size(); ++r) {
                if (runs[r].passed) continue;
                md << "- round " << r + 1 << ", " << w.name << ", " << c << ": " << runs[r].failure << '\n';
                any = true;
            }
        }
    }
    if (!any) md << "None: every run delivered every message intact and in order.\n";
}

void machineTable(std::ostringstream& md, const MachineInfo& m) {
    md << "| machine | |\n|---|---|\n"
       << "| CPU | " << m.cpu << " |\n| cores | " << m.cores << " |\n"
       << "| memory | " << m.memory << " |\n| kernel | " << m.kernel << " |\n"
       << "| compiler | " << m.compiler << " |\n| allocator | " << m.allocator << " |\n"
       << "| peers | " << m.peers << " |\n| run | " << m.date << " |\n";
}

}  // namespace

std::string resultsMarkdown(const BenchResults& results, const MachineInfo& machine,
                            const ServerBaseline* baseline) {
    std::ostringstream md;
    const Selection& s = results.selection;
    md << "Rounds: " << s.rounds << ", contenders interleaved round by round; each cell is the "
       << "median over the rounds that passed, with the range in parentheses.";
    if (s.fault != Fault::None) md << " **Deliberate fault: " << faultName(s.fault) << ".**";
    md << "\n\n";
    figuresTable(md, results);
    bool hasTessard = false;
    for (const std::string& c : s.contenders) hasTessard |= c == "tessard";
    if (hasTessard && s.contenders.size() > 1) {
        md << "\nPer-round ratio of tessard to each contender (median and range). For messages/s "
           << "and GB/s above 1 means tessard is faster; for latency below 1 means tessard is "
           << "quicker.\n\n";
        ratiosTable(md, results);
    }
    md << "\nPeak resident memory in MiB (tessard: the server's VmHWM; peers: the peer process's "
       << "maximum RSS), median over the rounds (and the highest).\n\n";
    memoryTable(md, results);
    md << "\nFailures:\n\n";
    failureList(md, results);
    if (baseline) md << '\n' << baselineMarkdown(*baseline);
    md << '\n';
    machineTable(md, machine);
    return md.str();
}

std::string roundsTsv(const BenchResults& results) {
    std::ostringstream tsv;
    tsv << "round\tworkload\tcontender\tpassed\telapsed_ns\tthroughput\tp50_us\tp99_us\tmax_us\tpeak_rss_kib\tfailure\n";
    for (const Workload& w : results.selection.workloads) {
        for (const std::string& c : results.selection.contenders) {
            const Runs& runs = runsOf(results, w, c);
            for (std::size_t r = 0; r < runs.size(); ++r) {
                const RunOutcome& o = runs[r];
                tsv << r + 1 << '\t' << w.name << '\t' << c << '\t' << (o.passed ? 1 : 0) << '\t'
                    << o.elapsedNs << '\t' << o.throughput << '\t' << o.latency.p50Us << '\t'
                    << o.latency.p99Us << '\t' << o.latency.maxUs << '\t' << o.peakRssKiB << '\t'
                    << o.failure << '\n';
            }
        }
    }
    return tsv.str();
}

}  // namespace bench
