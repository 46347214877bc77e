#include "common/run_config.h"

#include <fstream>
#include <map>

namespace bench {

namespace {

int figureCode(Figure figure) { return static_cast<int>(figure); }

}  // namespace

bool writeRunConfig(const std::string& path, const RunConfig& c) {
    std::ofstream out(path);
    const Workload& w = c.workload;
    out << "name " << w.name << '\n'
        << "producers " << w.producers << '\n'
        << "messages_per_producer " << w.messagesPerProducer << '\n'
        << "payload_bytes " << w.payloadBytes << '\n'
        << "consumers " << w.consumers << '\n'
        << "rate_per_second " << w.ratePerSecond << '\n'
        << "figure " << figureCode(w.figure) << '\n'
        << "fault " << faultName(c.fault) << '\n'
        << "results_dir " << c.resultsDir << '\n'
        << "start_file " << c.startFile << '\n';
    return static_cast<bool>(out);
}

// One "key value" a line; values are single words (paths without spaces).
std::optional<RunConfig> readRunConfig(const std::string& path) {
    std::ifstream in(path);
    std::map<std::string, std::string> v;
    std::string key;
    std::string value;
    while (in >> key >> value) v[key] = value;
    if (v.count("name") == 0 || v.count("results_dir") == 0) return std::nullopt;
    RunConfig c;
    Workload& w = c.workload;
    try {
        w.name = v["name"];
        w.title = w.name;
        w.producers = std::stoi(v["producers"]);
        w.messagesPerProducer = std::stoll(v["messages_per_producer"]);
        w.payloadBytes = std::stoul(v["payload_bytes"]);
        w.consumers = std::stoi(v["consumers"]);
        w.ratePerSecond = std::stoi(v["rate_per_second"]);
        w.figure = static_cast<Figure>(std::stoi(v["figure"]));
    } catch (const std::exception&) {
        return std::nullopt;
    }
    const std::optional<Fault> fault = faultNamed(v["fault"]);
    if (!fault || w.payloadBytes < kMinimumPayload || w.producers < 1 || w.consumers < 1) {
        return std::nullopt;
    }
    c.fault = *fault;
    c.resultsDir = v["results_dir"];
    c.startFile = v["start_file"];
    return c;
}

}  // namespace bench
