#include <cstdio>

#include "peers/peers.h"

namespace bench {

namespace {

bool runNamed(const std::string& contender, PeerRun& run, std::string& error) {
    if (contender == "floor") return runFloor(run, error);
    if (contender == "zmq-bounded") return runZmq(run, ZmqSetup{true, true}, error);
    if (contender == "zmq-unbounded") return runZmq(run, ZmqSetup{false, true}, error);
    if (contender == "zmq-threads") return runZmq(run, ZmqSetup{false, false}, error);
    if (contender == "gstreamer") return runGstreamer(run, error);
    error = "no such peer: " + contender;
    return false;
}

}  // namespace

int peerMain(const std::string& contender, const std::string& configPath) {
    const std::optional<RunConfig> config = readRunConfig(configPath);
    if (!config) {
        std::fprintf(stderr, "unreadable run configuration %s\n", configPath.c_str());
        return 2;
    }
    PeerRun run(*config);
    std::string error;
    if (!runNamed(contender, run, error)) {
        std::fprintf(stderr, "%s: %s\n", contender.c_str(), error.c_str());
        return 3;
    }
    return run.writeReports() ? 0 : 4;
}

}  // namespace bench
