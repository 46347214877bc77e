#include "harness/options.h"

#include <sstream>

#include "harness/contenders.h"

namespace bench {

namespace {

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> items;
    std::istringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

// "W3" stands for W3 at every fan-out degree.
bool addWorkloads(const std::string& list, std::vector<Workload>& workloads, std::string& error) {
    for (const std::string& name : split(list)) {
        bool found = false;
        for (const Workload& w : standardWorkloads()) {
            if (w.name == name || (name == "W3" && w.name.rfind("W3K", 0) == 0)) {
                workloads.push_back(w);
                found = true;
            }
        }
        if (!found) return error = "unknown workload " + name, false;
    }
    return true;
}

bool addContenders(const std::string& list, std::vector<std::string>& contenders, std::string& error) {
    for (const std::string& name : split(list)) {
        const std::string contender = contenderNamed(name);
        if (contender.empty()) return error = "unknown contender " + name, false;
        contenders.push_back(contender);
    }
    return true;
}

bool parseNumber(const std::string& text, double& value) {
    try {
        std::size_t used = 0;
        value = std::stod(text, &used);
        return used == text.size() && value >= 0;
    } catch (const std::exception&) {
        return false;
    }
}

// What was given on the command line, before the defaults that depend on
// the whole of it are settled.
struct Given {
    bool rounds = false;
    bool ratioRounds = false;
    bool quick = false;
};

bool takeOption(Options& o, Given& given, const std::string& name, const std::string& value,
                std::string& error) {
    double number = 0;
    if (name == "--workloads") return addWorkloads(value, o.workloads, error);
    if (name == "--compare-build") return o.compareBuild = value, true;
    if (name == "--contenders") return addContenders(value, o.contenders, error);
    if (name == "--out") return o.out = value, true;
    if (name == "--peer") return o.mode = Options::Mode::Peer, o.peer = value, true;
    if (name == "--config") return o.config = value, true;
    if (name == "--fault") {
        const std::optional<Fault> fault = faultNamed(value);
        if (!fault) return error = "unknown fault " + value, false;
        return o.fault = *fault, true;
    }
    if (!parseNumber(value, number)) return error = name + " wants a number", false;
    if (name == "--rounds") return given.rounds = true, o.rounds = static_cast<int>(number), true;
    if (name == "--ratio-rounds") {
        return given.ratioRounds = true, o.ratioRounds = static_cast<int>(number), true;
    }
    if (number <= 0) return error = name + " wants a positive number", false;
    if (name == "--scale") return o.scale = number, true;
    if (name == "--seconds") return o.seconds = static_cast<int>(number), true;
    if (name == "--sample-every") return o.sampleSeconds = static_cast<int>(number), true;
    error = "unknown option " + name;
    return false;
}

bool takeSwitch(Options& o, Given& given, const std::string& name) {
    if (name == "--quick") return given.quick = true, true;
    if (name == "--soak") return o.mode = Options::Mode::Soak, true;
    if (name == "--idle") return o.mode = Options::Mode::Idle, true;
    if (name == "--baseline") return o.baseline = true, true;
    if (name == "--help" || name == "-h") return o.mode = Options::Mode::Help, true;
    return false;
}

// A quick run and a comparison of builds are ratio rounds alone, unless
// survey rounds are asked for; a full survey of five rounds or more comes
// with the ratio rounds, a shorter or narrower one without them.
void settleDefaults(Options& o, const Given& given) {
    if (o.workloads.empty()) o.workloads = standardWorkloads();
    if (o.contenders.empty()) o.contenders = contenderNames();
    const bool ratiosOnly = given.quick || !o.compareBuild.empty();
    if (ratiosOnly && !given.rounds) o.rounds = 0;
    if (given.ratioRounds) return;
    const bool withSurvey = o.fullSurvey() && o.rounds >= 5;
    o.ratioRounds = given.quick ? 8 : ratiosOnly || withSurvey ? 15 : 0;
}

}  // namespace

bool Options::fullSurvey() const {
    return workloads.size() == standardWorkloads().size() &&
           contenders.size() == contenderNames().size() && scale == 1.0 && fault == Fault::None;
}

bool Options::full() const {
    return fullSurvey() && rounds >= 5 && ratioRounds >= 12 && compareBuild.empty();
}

std::optional<Options> parseOptions(int argc, char** argv, std::string& error) {
    Options o;
    Given given;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (takeSwitch(o, given, name)) continue;
        if (i + 1 >= argc) return error = name + " wants a value", std::nullopt;
        if (!takeOption(o, given, name, argv[++i], error)) return std::nullopt;
    }
    settleDefaults(o, given);
    if (o.mode == Options::Mode::Rounds && o.rounds == 0 && o.ratioRounds == 0) {
        return error = "no rounds to run", std::nullopt;
    }
    if (o.mode == Options::Mode::Peer && o.config.empty()) return error = "--peer wants --config", std::nullopt;
    return o;
}

std::string usage() {
    return "usage: tessard_bench [--rounds N] [--ratio-rounds N] [--workloads W1,W2,W3,W4|W3K8,...]\n"
           "                     [--contenders tessard,zmq-bounded,zmq-unbounded,zmq-threads,\n"
           "                                   gstreamer,floor]\n"
           "                     [--scale F] [--fault drop|reorder|corrupt|nocopy]\n"
           "                     [--out DIR] [--baseline]\n"
           "       tessard_bench --quick [--ratio-rounds 8]\n"
           "       tessard_bench --compare-build DIR [--ratio-rounds 15] [--scale F]\n"
           "       tessard_bench --soak [--seconds 600] [--sample-every 5] [--out DIR]\n"
           "       tessard_bench --idle [--seconds 10]\n";
}

}  // namespace bench
