#include "harness/report_table.h"

#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "harness/round_ratios.h"
#include "harness/statistics.h"

namespace bench {

namespace {

struct FigureRow {
    std::string label;
    FigureOf value;
    bool higherIsBetter;
};

std::vector<FigureRow> figuresOf(const Workload& w) {
    if (w.figure == Figure::Latency) {
        return {{"p50 latency, us", [](const RunOutcome& o) { return o.latency.p50Us; }, false},
                {"p99 latency, us", [](const RunOutcome& o) { return o.latency.p99Us; }, false},
                {"max latency, us", [](const RunOutcome& o) { return o.latency.maxUs; }, false}};
    }
    const std::string label = w.figure == Figure::GigabytesPerSecond ? "payload GB/s" : "messages/s";
    return {{label, [](const RunOutcome& o) { return o.throughput; }, true}};
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

std::string ratio(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

int failures(const Runs& runs) {
    int failed = 0;
    for (const RunOutcome& o : runs) failed += o.passed ? 0 : 1;
    return failed;
}

std::vector<double> passedFigures(const Runs& runs, const FigureOf& figure) {
    std::vector<double> values;
    for (const RunOutcome& o : runs) {
        if (o.passed) values.push_back(figure(o));
    }
    return values;
}

// The median with the range (or with the interquartile range) in parentheses.
std::string figureCell(const Runs& runs, const FigureOf& figure, bool quartiles = false) {
    const std::vector<double> values = passedFigures(runs, figure);
    const int failed = failures(runs);
    if (values.empty() && failed) {
        return "FAILED (" + std::to_string(failed) + "/" + std::to_string(runs.size()) + ")";
    }
    if (values.empty()) return "-";
    const Spread s = spreadOf(values);
    std::string cell = number(s.median) + " (" + number(quartiles ? s.lowerQuartile : s.min) + "–" +
                       number(quartiles ? s.upperQuartile : s.max) + ")";
    if (failed) cell += ", " + std::to_string(failed) + " failed";
    return cell;
}

std::string ratioCell(const std::vector<double>& ratios) {
    if (ratios.empty()) return "-";
    const Spread s = spreadOf(ratios);
    return ratio(s.median) + "× (" + ratio(s.min) + "–" + ratio(s.max) + ")";
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

std::vector<const Runs*> runsOfEach(const BenchResults& results, const Workload& w,
                                    const std::vector<std::string>& contenders) {
    std::vector<const Runs*> runs;
    for (const std::string& c : contenders) runs.push_back(&runsOf(results, w, c));
    return runs;
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

std::vector<std::string> othersThan(const std::string& subject, const Selection& s) {
    std::vector<std::string> others;
    for (const std::string& c : s.contenders) {
        if (c != subject) others.push_back(c);
    }
    return others;
}

void figuresTable(std::ostringstream& md, const BenchResults& results, bool quartiles) {
    header(md, {"workload", "figure"}, results.selection.contenders);
    for (const Workload& w : results.selection.workloads) {
        for (const FigureRow& row : figuresOf(w)) {
            md << "| " << w.name << " " << w.title << " | " << row.label << " |";
            for (const std::string& c : results.selection.contenders) {
                md << ' ' << figureCell(runsOf(results, w, c), row.value, quartiles) << " |";
            }
            md << '\n';
        }
    }
}

void ratiosTable(std::ostringstream& md, const BenchResults& results) {
    const std::vector<std::string> peers = othersThan("tessard", results.selection);
    const std::vector<std::string> hubs = hubPeersOf(peers);
    std::vector<std::string> columns;
    for (const std::string& p : peers) columns.push_back("tessard ÷ " + p);
    if (hubs.size() > 1) columns.push_back("tessard ÷ strongest hub");
    header(md, {"workload", "figure"}, columns);
    for (const Workload& w : results.selection.workloads) {
        const Runs& tessard = runsOf(results, w, "tessard");
        for (const FigureRow& row : figuresOf(w)) {
            md << "| " << w.name << " | " << row.label << " |";
            for (const std::string& p : peers) {
                md << ' ' << ratioCell(roundRatios(tessard, runsOf(results, w, p), row.value)) << " |";
            }
            if (hubs.size() > 1) {
                const std::vector<double> strongest =
                    row.higherIsBetter ? strongestPeerRatios(tessard, runsOfEach(results, w, hubs), row.value)
                                       : std::vector<double>{};
                md << ' ' << ratioCell(strongest) << " |";
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

// One row of the ratio rounds: every statistic of one series of ratios.
void ratioRow(std::ostringstream& md, const std::string& workload, const std::string& against,
              const std::vector<double>& ratios) {
    md << "| " << workload << " | " << against << " | " << ratios.size() << " |";
    if (ratios.empty()) {
        md << " - | - | - | - |\n";
        return;
    }
    const Spread s = spreadOf(ratios);
    md << " **" << ratio(s.median) << "×** | " << ratio(s.lowerQuartile) << "–" << ratio(s.upperQuartile)
       << " | " << ratio(s.min) << "–" << ratio(s.max) << " | "
       << (s.medianKnown ? ratio(s.medianLow) + "–" + ratio(s.medianHigh) : "-") << " |\n";
}

// The load average over the rounds, for the reader to judge the figures by.
// With more runnable threads than cores the contenders share the processors
// with other work, and the server, whose producers run ahead of its event
// handler, loses far more than a bounded hub: such figures are flagged.
void loadLine(std::ostringstream& md, const BenchResults& results) {
    if (results.loadPerRound.empty()) return;
    const Spread s = spreadOf(results.loadPerRound);
    char text[160];
    std::snprintf(text, sizeof text, "1-minute load average as the rounds began: median %.2f (%.2f–%.2f).",
                  s.median, s.min, s.max);
    md << text;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    if (s.median > static_cast<double>(cores)) {
        md << " **The machine was busy with other work (more than " << cores << ", its cores): these "
           << "figures measure the contention as much as the hubs.**";
    }
    md << "\n\n";
}

void ratioRoundsTable(std::ostringstream& md, const BenchResults& results) {
    const std::string& subject = results.selection.contenders.front();
    const std::vector<std::string> others = othersThan(subject, results.selection);
    const std::vector<std::string> hubs = hubPeersOf(others);
    header(md, {"workload", "ratio", "rounds", "median", "interquartile range", "range",
                "median's 95 % interval"}, {});
    for (const Workload& w : results.selection.workloads) {
        const Runs& runs = runsOf(results, w, subject);
        const FigureRow row = figuresOf(w).front();
        for (const std::string& other : others) {
            ratioRow(md, w.name, subject + " ÷ " + other,
                     roundRatios(runs, runsOf(results, w, other), row.value));
        }
        if (hubs.size() > 1 && row.higherIsBetter) {
            ratioRow(md, w.name, subject + " ÷ strongest peer of the round",
                     strongestPeerRatios(runs, runsOfEach(results, w, hubs), row.value));
        }
    }
}

}  // namespace

std::string ratioRoundsMarkdown(const BenchResults& results) {
    std::ostringstream md;
    const Selection& s = results.selection;
    if (s.contenders.size() < 2) return "";
    md << "Ratio rounds: " << s.rounds << ", contenders interleaved within each round and their order "
       << "shifted by one each round. Each ratio is taken within one round; the table gives the median "
       << "of the per-round ratios, their interquartile range and range, and the distribution-free 95 % "
       << "interval of that median. Above 1 the first contender is faster. Messages a run:";
    for (std::size_t i = 0; i < s.workloads.size(); ++i) {
        md << (i ? ", " : " ") << s.workloads[i].name << ' ' << s.workloads[i].totalMessages();
    }
    md << ".\n\n";
    loadLine(md, results);
    ratioRoundsTable(md, results);
    md << "\nThe figures of these rounds: median messages/s (interquartile range), and peak resident "
       << "memory in MiB, median (and the highest).\n\n";
    figuresTable(md, results, true);
    md << '\n';
    memoryTable(md, results);
    return md.str();
}

std::string surveyMarkdown(const BenchResults& results) {
    std::ostringstream md;
    const Selection& s = results.selection;
    md << "Rounds: " << s.rounds << ", contenders interleaved round by round; each cell is the "
       << "median over the rounds that passed, with the range in parentheses.";
    if (s.fault != Fault::None) md << " **Deliberate fault: " << faultName(s.fault) << ".**";
    md << "\n\n";
    loadLine(md, results);
    figuresTable(md, results, false);
    bool hasTessard = false;
    for (const std::string& c : s.contenders) hasTessard |= c == "tessard";
    if (hasTessard && s.contenders.size() > 1) {
        md << "\nPer-round ratio of tessard to each contender, and to the strongest hub of each "
           << "round (median and range). For messages/s and GB/s above 1 means tessard is faster; "
           << "for latency below 1 means tessard is quicker.\n\n";
        ratiosTable(md, results);
    }
    md << "\nPeak resident memory in MiB (tessard: the server's VmHWM; peers: the peer process's "
       << "maximum RSS), median over the rounds (and the highest).\n\n";
    memoryTable(md, results);
    return md.str();
}

std::string failuresMarkdown(const BenchResults& results) {
    std::ostringstream md;
    for (const Workload& w : results.selection.workloads) {
        for (const std::string& c : results.selection.contenders) {
            const Runs& runs = runsOf(results, w, c);
            for (std::size_t r = 0; r < runs.size(); ++r) {
                if (runs[r].passed) continue;
                md << "- round " << r + 1 << ", " << w.name << ", " << c << ": " << runs[r].failure << '\n';
            }
        }
    }
    return md.str();
}

std::string machineMarkdown(const MachineInfo& m) {
    std::ostringstream md;
    md << "| machine | |\n|---|---|\n"
       << "| CPU | " << m.cpu << " |\n| cores | " << m.cores << " |\n"
       << "| memory | " << m.memory << " |\n| kernel | " << m.kernel << " |\n"
       << "| compiler | " << m.compiler << " |\n| allocator | " << m.allocator << " |\n"
       << "| peers | " << m.peers << " |\n| run | " << m.date << " |\n"
       << "| load average (1, 5, 15 min) | " << m.loadAtStart << " at the start, " << loadAverage()
       << " at the end |\n";
    return md.str();
}

std::string roundsTsv(const BenchResults& results) {
    std::ostringstream tsv;
    tsv << "round\tload\tworkload\tcontender\tpassed\telapsed_ns\tthroughput\tp50_us\tp99_us\tmax_us\t"
           "peak_rss_kib\tfailure\n";
    for (const Workload& w : results.selection.workloads) {
        for (const std::string& c : results.selection.contenders) {
            const Runs& runs = runsOf(results, w, c);
            for (std::size_t r = 0; r < runs.size(); ++r) {
                const RunOutcome& o = runs[r];
                const double load = r < results.loadPerRound.size() ? results.loadPerRound[r] : -1;
                tsv << r + 1 << '\t' << load << '\t' << w.name << '\t' << c << '\t' << (o.passed ? 1 : 0) << '\t'
                    << o.elapsedNs << '\t' << o.throughput << '\t' << o.latency.p50Us << '\t'
                    << o.latency.p99Us << '\t' << o.latency.maxUs << '\t' << o.peakRssKiB << '\t'
                    << o.failure << '\n';
            }
        }
    }
    return tsv.str();
}

}  // namespace bench
