#include "harness/server_memory.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <thread>

#include "harness/proc_status.h"
#include "harness/server_run.h"

namespace bench {

namespace {

constexpr std::int64_t kMinimumToleranceKiB = 1024;

std::string mib(std::int64_t kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kib) / 1024.0);
    return text;
}

// Growth after the warm-up beyond 1 MiB or 2 % of the warm RSS, whichever is
// more, counts: allocator caches move by a few pages either way.
void judgeGrowth(SoakReport& soak) {
    for (const RssSample& s : soak.samples) {
        if (s.seconds <= soak.warmupSeconds) soak.atWarmupKiB = s.rssKiB;
        if (s.seconds > soak.warmupSeconds) soak.maxAfterKiB = std::max(soak.maxAfterKiB, s.rssKiB);
    }
    if (!soak.samples.empty()) soak.lastKiB = soak.samples.back().rssKiB;
    soak.toleranceKiB = std::max(kMinimumToleranceKiB, soak.atWarmupKiB / 50);
    soak.grew = soak.maxAfterKiB - soak.atWarmupKiB > soak.toleranceKiB;
}

}  // namespace

ServerBaseline measureBareServer(const BenchPaths& paths, int idleSeconds) {
    ServerBaseline b;
    RunDirectory directory(paths.scratch, "tessard-bare");
    ServerRun server(paths, directory);
    if (!server.start({}, b.failure)) return b;
    // The scheduler's start-up work is over well within a second.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    b.rssKiB = statusKiB(server.pid(), "VmRSS");
    b.hwmKiB = statusKiB(server.pid(), "VmHWM");
    const std::int64_t before = cpuMillis(server.pid());
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    b.idleCpuMs = cpuMillis(server.pid()) - before;
    b.idleSeconds = idleSeconds;
    b.measured = server.stop(b.failure);
    return b;
}

SoakReport runSoak(const BenchPaths& paths, int seconds, int sampleSeconds) {
    SoakReport soak;
    soak.warmupSeconds = std::min(60.0, seconds / 2.0);
    ServerSampler sampler;
    sampler.everyNs = static_cast<std::int64_t>(sampleSeconds) * 1000000000;
    sampler.sample = [&soak](pid_t pid, std::int64_t sinceNs) {
        soak.samples.push_back({static_cast<double>(sinceNs) / 1e9, statusKiB(pid, "VmRSS")});
    };
    soak.outcome = runTessard(soakWorkload(seconds), Fault::None, paths, &sampler);
    judgeGrowth(soak);
    return soak;
}

std::string baselineMarkdown(const ServerBaseline& b) {
    std::ostringstream md;
    if (!b.measured) return "The bare server could not be measured: " + b.failure + "\n";
    md << "| server with no plugins | value |\n|---|---|\n"
       << "| resident memory (VmRSS) once up | " << mib(b.rssKiB) << " |\n"
       << "| peak resident memory (VmHWM) | " << mib(b.hwmKiB) << " |\n"
       << "| CPU time over " << b.idleSeconds << " s idle | " << b.idleCpuMs << " ms |\n";
    return md.str();
}

std::string soakMarkdown(const SoakReport& s) {
    std::ostringstream md;
    md << "Soak: W4 for " << (s.samples.empty() ? 0 : static_cast<int>(s.samples.back().seconds))
       << " s, " << s.samples.size() << " RSS samples.\n\n"
       << "| | value |\n|---|---|\n"
       << "| workload | " << (s.outcome.passed ? "passed" : "FAILED: " + s.outcome.failure) << " |\n"
       << "| RSS after " << s.warmupSeconds << " s | " << mib(s.atWarmupKiB) << " |\n"
       << "| highest RSS after that | " << mib(s.maxAfterKiB) << " |\n"
       << "| last RSS | " << mib(s.lastKiB) << " |\n"
       << "| peak (VmHWM) | " << mib(s.outcome.peakRssKiB) << " |\n"
       << "| grew after the warm-up (more than " << mib(s.toleranceKiB) << ") | "
       << (s.grew ? "yes" : "no") << " |\n";
    if (s.outcome.passed) {
        md << "| latency p50 / p99 / max | " << static_cast<int>(s.outcome.latency.p50Us) << " / "
           << static_cast<int>(s.outcome.latency.p99Us) << " / "
           << static_cast<int>(s.outcome.latency.maxUs) << " us |\n";
    }
    md << "\n| seconds | RSS |\n|---|---|\n";
    for (const RssSample& sample : s.samples) {
        md << "| " << static_cast<int>(sample.seconds) << " | " << mib(sample.rssKiB) << " |\n";
    }
    return md.str();
}

}  // namespace bench
