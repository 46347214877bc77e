// Every contender run for real, with small counts: the server as a process
// with its benchmark plugins, the peers in child processes of this test
// executable. A correct hub must pass; a deliberate fault, in the shared
// producers or in a hub that skips its copy, must fail with its counts.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "harness/contenders.h"
#include "harness/other_build.h"
#include "harness/server_memory.h"

namespace bench {
namespace {

class Scratch {
public:
    Scratch() : dir(testing::TempDir() + "/bench-contenders-" + std::to_string(getpid())) {
        std::filesystem::create_directories(dir);
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    const std::string dir;
};

const BenchPaths& paths() {
    static Scratch scratch;
    static const BenchPaths built = builtPaths(scratch.dir);
    return built;
}

Workload smallNamed(const std::string& name, double scale) { return scaled(*workloadNamed(name), scale); }

class ContenderTest : public testing::TestWithParam<std::string> {};

TEST_P(ContenderTest, DeliversEverySmallWorkloadIntactWithItsFigures) {
    for (const Workload& w : {smallNamed("W1", 0.002), smallNamed("W2", 0.01),
                              smallNamed("W3K8", 0.005)}) {
        const RunOutcome o = runContender(GetParam(), w, Fault::None, paths());
        ASSERT_TRUE(o.passed) << w.name << ": " << o.failure;
        EXPECT_GT(o.throughput, 0) << w.name;
        EXPECT_GT(o.elapsedNs, 0) << w.name;
        EXPECT_GT(o.peakRssKiB, 1024) << w.name;
    }
}

TEST_P(ContenderTest, TimesEveryMessageOfAPacedWorkload) {
    Workload w = smallNamed("W4", 0.1);  // 30 messages from each of 32 producers in a second
    const RunOutcome o = runContender(GetParam(), w, Fault::None, paths());
    ASSERT_TRUE(o.passed) << o.failure;
    ASSERT_EQ(o.latenciesUs.size(), 32u * 30u);
    EXPECT_GT(o.latency.p50Us, 0);
    EXPECT_LE(o.latency.p50Us, o.latency.p99Us);
    EXPECT_LE(o.latency.p99Us, o.latency.maxUs);
}

std::string testName(std::string name) {
    for (char& c : name) c = c == '-' ? '_' : c;
    return name;
}

INSTANTIATE_TEST_SUITE_P(All, ContenderTest, testing::ValuesIn(contenderNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return testName(info.param);
                         });

struct FaultRun {
    std::string contender;
    Fault fault;
    std::string expected;  // part of the failure text
};

class FaultTest : public testing::TestWithParam<FaultRun> {};

TEST_P(FaultTest, FailsTheRunWithCounts) {
    const Workload w = smallNamed("W3K2", 0.005);  // 1000 messages
    const RunOutcome o = runContender(GetParam().contender, w, GetParam().fault, paths());
    EXPECT_FALSE(o.passed);
    EXPECT_NE(o.failure.find(GetParam().expected), std::string::npos) << o.failure;
    EXPECT_NE(o.failure.find("consumer 1 received"), std::string::npos) << o.failure;
}

// The producers' faults through the real server; a hub skipping its copy
// in the peers where one can be made to.
INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    testing::Values(FaultRun{"tessard", Fault::Drop, "lost 1, reordered 0, corrupt 0"},
                    FaultRun{"tessard", Fault::Reorder, "lost 1, reordered 1, corrupt 0"},
                    FaultRun{"tessard", Fault::Corrupt, "lost 1, reordered 0, corrupt 1"},
                    FaultRun{"floor", Fault::Drop, "lost 1"},
                    FaultRun{"zmq-bounded", Fault::NoCopy, "corrupt "},
                    FaultRun{"zmq-unbounded", Fault::NoCopy, "corrupt "},
                    FaultRun{"zmq-threads", Fault::NoCopy, "corrupt "},
                    FaultRun{"gstreamer", Fault::NoCopy, "corrupt "}),
    [](const testing::TestParamInfo<FaultRun>& info) {
        return testName(info.param.contender + "_" + faultName(info.param.fault));
    });

TEST(FaultTest, ACopyThatCannotBeSkippedIsNotPretendedTo) {
    const RunOutcome o = runContender("tessard", smallNamed("W1", 0.001), Fault::NoCopy, paths());
    EXPECT_FALSE(o.passed);
    EXPECT_NE(o.failure.find("cannot be made"), std::string::npos) << o.failure;
}

// Catches a comparison that cannot find another build's server, runs this
// build's server twice, or takes a tree without a server for a build.
TEST(OtherBuildTest, AnotherBuildsServerRunsTheWorkloadWithTheSamePlugins) {
    std::string error;
    const std::optional<OtherBuild> other = otherBuildAt(TESSARD_BENCH_BUILD_DIR "/..", error);
    ASSERT_TRUE(other) << error;
    EXPECT_EQ(other->difference, "");  // this very build, read through its cache
    EXPECT_FALSE(otherBuildAt(TESSARD_BENCH_BUILD_DIR, error));
    EXPECT_NE(error.find("no tessard executable"), std::string::npos) << error;

    EXPECT_FALSE(runContender("tessard-other", smallNamed("W1", 0.001), Fault::None, paths()).passed);
    BenchPaths comparing = paths();
    comparing.otherServer = other->server;
    comparing.server = "/nonexistent/tessard";  // only the other build's server can pass
    const RunOutcome o = runContender("tessard-other", smallNamed("W3K8", 0.005), Fault::None, comparing);
    ASSERT_TRUE(o.passed) << o.failure;
    EXPECT_GT(o.throughput, 0);
}

TEST(ServerMemoryTest, TheBareServerIsMeasuredAndAShortSoakSamplesItsMemory) {
    const ServerBaseline bare = measureBareServer(paths(), 1);
    ASSERT_TRUE(bare.measured) << bare.failure;
    EXPECT_GT(bare.rssKiB, 1024);
    EXPECT_GE(bare.hwmKiB, bare.rssKiB);
    EXPECT_GE(bare.idleCpuMs, 0);

    const SoakReport soak = runSoak(paths(), 4, 1);
    ASSERT_TRUE(soak.outcome.passed) << soak.outcome.failure;
    EXPECT_GE(soak.samples.size(), 4u);
    EXPECT_GT(soak.atWarmupKiB, 1024);
    EXPECT_GT(soak.maxAfterKiB, 1024);
}

}  // namespace
}  // namespace bench
