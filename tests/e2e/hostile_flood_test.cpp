// Floods, end to end, with the server confined in a pids and a memory
// control group of its own, so that a flood that would once have exhausted
// the machine only exhausts the groups: read requests beyond the bound on
// Read workers and beyond what the system lets the server start, and plain
// events sent faster than a slow consumer takes them.
//
// The plugins (test_plugins/hostile.c): the flooder sends what its flags
// ask for, the reader holds its Read calls while the test wants it to, the
// sink takes 2 ms for each event.

#include <gtest/gtest.h>

#include <algorithm>

#include "control_group.h"
#include "host_texts.h"
#include "hostile_plugins.h"
#include "server_dir.h"

namespace {

using namespace std::chrono_literals;

// The memory limit of the server's group. The event queue may then hold
// 3/16 of it (a quarter of a heap ceiling of three quarters): 48 MiB, and the
// plain server peaks near 60 MiB. AddressSanitizer's quarantine of freed
// payloads is kept to 16 MiB below. ThreadSanitizer's shadow of the payloads
// the server copies grew to four times the queue, near any limit the queue's
// share is taken from; it is told to flush its shadow beyond 192 MiB
// (memory_limit_mb), and that build gets twice the room and a queue of
// 96 MiB, for a peak near 200 MiB.
#ifdef __SANITIZE_THREAD__
constexpr long long kMemoryLimit = 512LL << 20;
#else
constexpr long long kMemoryLimit = 256LL << 20;
#endif
constexpr long long kQueueMiB = (kMemoryLimit / 4 * 3 / 4) >> 20;
constexpr int kPayload = 1 << 20;

class HostileFlood : public testing::Test {
protected:
    void SetUp() override {
        if (!pids.made() || !memory.made()) {
            GTEST_SKIP() << "needs writable pids and memory controllers of the first cgroup version";
        }
        ASSERT_TRUE(memory.set("memory.limit_in_bytes", std::to_string(kMemoryLimit)));
        ASSERT_TRUE(pids.set("pids.max", "max"));
        for (const char* role : {"flooder", "reader", "sink"}) plugins.install(role);
    }
    void TearDown() override { EXPECT_EQ(dir.sanitizerReports(), ""); }

    void start() {
        Launch launch;
        launch.arguments = {"-d"};
        launch.environment = plugins.environment();
        launch.environment["ASAN_OPTIONS"] =
            sanitizerEnvironment(dir / "reports")["ASAN_OPTIONS"] +
            ":verify_asan_link_order=0:quarantine_size_mb=16";
        launch.environment["TSAN_OPTIONS"] =
            sanitizerEnvironment(dir / "reports")["TSAN_OPTIONS"] + ":memory_limit_mb=192";
        launch.wrapper = enterGroups({&pids, &memory});
        server = dir.start("run", launch);
        ASSERT_TRUE(server->waitForOutput(kPromptText, 120s)) << server->errors();
    }

    // Stops the server the orderly way; it must end by itself, with 0.
    void stop() {
        server->writeInput("\n");
        ASSERT_EQ(server->wait(120s), 0) << server->errors();
        EXPECT_EQ(memory.entry("memory.oom_control", "oom_kill"), 0);
    }

    // Clears the flag "requests" and waits until the flooder has seen it.
    void stopRequests() const {
        const std::size_t idle = plugins.count("flooder", "idle");
        plugins.clear("flooder", "requests");
        ASSERT_TRUE(eventually([&] { return plugins.count("flooder", "idle") > idle; }));
    }

    long long sent(const std::string& counter) const {
        return field(plugins.last("flooder", "sent"), counter);
    }

    long long pidsInUse() const { return std::stoll(pids.get("pids.current")); }

    // The most Read calls the reader saw running at once. Its threads
    // append their lines in any order, so the last line need not hold it.
    long long mostReads() const {
        long long most = 0;
        for (const std::string& line : plugins.report("reader")) {
            if (line.rfind("read ", 0) == 0) most = std::max(most, field(line, "most"));
        }
        return most;
    }

    // Every Read that began has returned.
    bool readersReturned() const {
        return plugins.count("reader", "read ") == plugins.count("reader", "left ");
    }

    // Declared before the server, so that they are removed after it ended.
    ControlGroup pids{"pids", "tessard-flood"};
    ControlGroup memory{"memory", "tessard-flood"};
    ServerDir dir;
    HostilePlugins plugins{dir};
    std::unique_ptr<ServerProcess> server;
};

// Fault 3: every read request started a thread, without bound, and a thread
// the system would not create ended the process from the flooding plugin's
// own thread. Also a warning logged on a plugin's thread that was held back
// until the server's exit.
TEST_F(HostileFlood, ReadRequestsStartBoundedWorkersAndSkipWhatCannotStart) {
    plugins.set("reader", "hold");
    start();

    // Far more requests than the bound, while every Read waits.
    plugins.set("flooder", "requests");
    ASSERT_TRUE(eventually([&] { return mostReads() >= 64; }));
    const long long busy = pidsInUse();
    // The warning reaches the log while the server runs, not at its exit.
    EXPECT_TRUE(eventually([&] { return occurrences(server->errors(), "has 64 Read calls running") == 1; }));
    const long long atBound = sent("requests");
    ASSERT_TRUE(eventually([&] { return sent("requests") > atBound + 2000; }));
    stopRequests();
    EXPECT_EQ(mostReads(), 64);
    // Every worker of the burst has ended, not only returned from Read.
    plugins.clear("reader", "hold");
    ASSERT_TRUE(eventually([&] { return readersReturned() && pidsInUse() <= busy - 64; }));

    // Now the group lets the server start four more threads at most; the
    // rest of the flood finds no thread to start.
    plugins.set("reader", "hold");
    ASSERT_TRUE(pids.set("pids.max", std::to_string(pidsInUse() + 4)));
    const auto flooded = std::chrono::steady_clock::now();
    plugins.set("flooder", "requests");
    const long long atLimit = sent("requests");
    ASSERT_TRUE(eventually([&] { return sent("requests") > atLimit + 5000; }));
    stopRequests();
    ASSERT_TRUE(pids.set("pids.max", "max"));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - flooded).count();

    // The server lives on: with threads to be had again, it serves the next
    // request and stops the orderly way.
    plugins.clear("reader", "hold");
    ASSERT_TRUE(eventually([&] { return readersReturned(); }));
    const std::size_t served = plugins.count("reader", "read ");
    plugins.set("flooder", "requests", "1");
    ASSERT_TRUE(eventually([&] { return plugins.count("reader", "read ") > served; }));
    stopRequests();
    stop();

    const std::string errors = server->errors();
    EXPECT_EQ(occurrences(errors, "plugin reader.so has 64 Read calls running; read requests start "
                                  "no more for it until half of them have returned"),
              1u)
        << "once for the one burst";
    // One line at first, then at most one every five seconds.
    const std::string skipped = "could not start a worker thread for plugin reader.so (";
    EXPECT_GE(occurrences(errors, skipped), 1u) << errors;
    EXPECT_LE(occurrences(errors, skipped), 2u + static_cast<std::size_t>(seconds / 5));
    EXPECT_NE(errors.find("); its Read call is skipped ("), std::string::npos);
    EXPECT_EQ(field(plugins.last("flooder", "final"), "refusedRequests"), 0);
    EXPECT_EQ(errors.find("Internal ["), std::string::npos) << errors;
}

// Fault 11: plain events sent faster than a slow consumer takes them grew
// the queue until the kernel killed the server, and the heap ceiling paid
// no heed to the control group's limit.
TEST_F(HostileFlood, EventQueueRefusesWhatWouldPassItsShareOfTheGroupsMemory) {
    // A consumer slower than a sender slowed by ThreadSanitizer, which
    // copies some twenty payloads of 1 MiB a second.
    plugins.set("sink", "slow", "200");
    start();
    plugins.set("flooder", "flood", std::to_string(kPayload));
    const auto flooded = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return sent("nomem") > 200; })) << server->errors();
    EXPECT_TRUE(eventually([&] { return occurrences(server->errors(), "the event queue holds ") != 0; }));
    const long long delivered = field(plugins.last("sink", "delivered"), "n");
    // The consumer still gets events while the flood is refused.
    ASSERT_TRUE(eventually([&] { return field(plugins.last("sink", "delivered"), "n") > delivered + 20; }));
    stop();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - flooded).count();

    const std::string errors = server->errors();
    const std::string id = value(plugins.last("flooder", "load"), "id");
    const std::string full = "the event queue holds ";
    for (const std::string& line : linesWith(errors, full)) {
        const long long held = numberAt(line, full);
        EXPECT_LE(held, kQueueMiB);
        EXPECT_GE(held, kQueueMiB - 2) << "the bound is not the group's";
        EXPECT_NE(line.find(" MiB, all it may: a message from " + id +
                            " is refused ("),
                  std::string::npos)
            << line;
    }
    const std::size_t lines = linesWith(errors, full).size();
    EXPECT_GE(lines, 1u) << errors;
    EXPECT_LE(lines, 2u + static_cast<std::size_t>(seconds / 5));

    const std::string final = plugins.last("flooder", "final");
    EXPECT_EQ(field(final, "late"), 0);
    EXPECT_EQ(field(final, "other"), 0);
    EXPECT_GT(field(final, "stopping"), 0);
    EXPECT_NE(errors.find("sender " + id + " had " + std::to_string(field(final, "nomem")) +
                          " messages refused because the event queue was full"),
              std::string::npos)
        << errors;
}

}  // namespace
