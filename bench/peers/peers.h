// The peer contenders, each run inside a child process of the harness.
//
// Each takes a PeerRun, runs the workload through its own hub and returns
// true when the hub could be set up and torn down; whether the messages
// arrived intact is judged afterwards from the reports, like any run. On
// false, `error` says what went wrong.
#pragma once

#include <string>

#include "peers/peer_run.h"

namespace bench {

// One thread copying every message once into a fresh buffer and handing it
// to each consumer's check: the cost of the one copy a hub must make.
bool runFloor(PeerRun& run, std::string& error);

// ZeroMQ inproc PUB/SUB: bounded (default high-water marks, a full pipe
// blocks the sender) or unbounded, its consumers on one polling thread or
// on a thread each.
struct ZmqSetup {
    bool bounded = false;
    bool onePollingThread = true;
};
bool runZmq(PeerRun& run, const ZmqSetup& setup, std::string& error);

// GStreamer appsrc -> tee -> (queue -> appsink) per consumer.
bool runGstreamer(PeerRun& run, std::string& error);

// The child process's entry: runs `contender` on the configuration in
// `configPath` and writes its reports. The process's exit status.
int peerMain(const std::string& contender, const std::string& configPath);

}  // namespace bench
