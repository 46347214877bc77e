// The server's own footprint: its resident memory and CPU time with no
// plugins and no traffic, and the soak that watches its memory under a long
// recording load.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness/contenders.h"

namespace bench {

struct ServerBaseline {
    bool measured = false;
    std::string failure;
    std::int64_t rssKiB = 0;  // VmRSS once it is up and idle
    std::int64_t hwmKiB = 0;  // VmHWM at the same moment
    int idleSeconds = 0;
    std::int64_t idleCpuMs = 0;  // user + system time over idleSeconds
};

// Starts the server with an empty plugins directory, reads its memory, then
// its CPU time over `idleSeconds` of doing nothing.
ServerBaseline measureBareServer(const BenchPaths& paths, int idleSeconds);

struct RssSample {
    double seconds = 0;
    std::int64_t rssKiB = 0;
};

struct SoakReport {
    RunOutcome outcome;
    std::vector<RssSample> samples;
    double warmupSeconds = 0;       // growth is judged after this
    std::int64_t atWarmupKiB = 0;   // RSS at the end of the warm-up
    std::int64_t maxAfterKiB = 0;   // the highest RSS after it
    std::int64_t lastKiB = 0;
    std::int64_t toleranceKiB = 0;  // growth within this does not count
    bool grew = false;
};

// W4 for `seconds`, sampling the server's RSS every `sampleSeconds`. Growth
// is judged after the first minute (or half the run, if shorter).
SoakReport runSoak(const BenchPaths& paths, int seconds, int sampleSeconds);

std::string baselineMarkdown(const ServerBaseline& baseline);
std::string soakMarkdown(const SoakReport& soak);

}  // namespace bench
