// Start and signals under hostile conditions, end to end: a daemon whose
// launcher stopped waiting, hang-ups and broken pipes sent to a running
// server, and the descriptors a plugin's child process would inherit.
//
// The hold_open plugin (test_plugins/hostile.c) lists, in its Open, every
// descriptor above 2 with its close-on-exec flag, and then holds the start
// until the test releases it.

#include <signal.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include "host_texts.h"
#include "hostile_plugins.h"
#include "server_dir.h"
#include "subreaper.h"

namespace {

using namespace std::chrono_literals;

constexpr char kHangUpText[] = "Received signal 1 but did nothing with it.";

class HostileStart : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(reaper.active());
        plugins.install("hold_open");
    }
    void TearDown() override { EXPECT_EQ(dir.sanitizerReports(), ""); }

    Launch launch(std::vector<std::string> arguments) const {
        Launch how;
        how.arguments = std::move(arguments);
        how.environment = plugins.environment();
        return how;
    }

    // Every descriptor the server held when it opened its plugins is closed
    // on exec, and among them are the lock file and the signal queue's pipe
    // (with the daemon's return-value pipe, `pipes` of them).
    void expectDescriptorsClosedOnExec(std::size_t pipes) {
        // The plugin's own write into a pipe without reader failed, and did
        // not end the server.
        EXPECT_EQ(plugins.last("hold_open", "broken pipe"), "broken pipe written=-1 errno=32");
        std::size_t lockFiles = 0;
        std::size_t pipesSeen = 0;
        for (const std::string& line : plugins.report("hold_open")) {
            if (line.rfind("fd ", 0) != 0) continue;
            EXPECT_EQ(field(line, "cloexec"), 1) << "a plugin's child would inherit: " << line;
            lockFiles += line.find(dir.home() + "/Quillon") != std::string::npos;
            pipesSeen += line.find("pipe:[") != std::string::npos;
        }
        EXPECT_EQ(lockFiles, 1u);
        EXPECT_GE(pipesSeen, pipes);
    }

    // Declared before the directory, so that it still adopts the daemons
    // its guard kills.
    Subreaper reaper;
    ServerDir dir;
    HostilePlugins plugins{dir};
};

// Faults 1, 2 and 16: a daemon whose launcher was killed while the daemon
// was still starting died of SIGPIPE at its first report to the launcher;
// SIGHUP and SIGPIPE (sent, or raised by a plugin's write into a broken
// pipe) ended it without its stop sequence; the lock file, the return-value
// pipe and the signal pipe leaked into plugins' children.
TEST_F(HostileStart, DaemonOutlivesItsLauncherAndShrugsOffHangUpsAndBrokenPipes) {
    auto launcher = dir.start("run", launch({}));
    ASSERT_TRUE(plugins.waitFor("hold_open", "opening")) << launcher->errors();
    const pid_t daemon = static_cast<pid_t>(field(plugins.last("hold_open", "opening"), "pid"));
    dir.watch(daemon);
    // Killed, or, on a machine loaded beyond its 60 seconds, given up.
    launcher->signal(SIGKILL);
    const std::optional<int> ended = launcher->wait();
    ASSERT_TRUE(ended == 128 + SIGKILL || ended == 255);
    plugins.set("hold_open", "release");

    const ShimLog shim = dir.shim("run");
    ASSERT_TRUE(shim.waitForText(kStartedText, 120s));
    ASSERT_TRUE(shim.waitForText("The launcher no longer waits for the daemon's start", 120s));
    const auto gaveUp = shim.recordsWithText(
        "The launcher no longer waits for the daemon's start; the daemon runs on.");
    ASSERT_EQ(gaveUp.size(), 1u);
    EXPECT_EQ(gaveUp[0].pid, daemon);
    EXPECT_EQ(gaveUp[0].priority, LOG_WARNING);
    expectDescriptorsClosedOnExec(3);

    // A hang-up is logged and changes nothing; a broken pipe is not even
    // seen. The second hang-up's record shows the daemon outlived both.
    ASSERT_EQ(kill(daemon, SIGHUP), 0);
    ASSERT_TRUE(eventually([&] { return shim.recordsWithText(kHangUpText).size() == 1; }));
    ASSERT_EQ(kill(daemon, SIGPIPE), 0);
    ASSERT_EQ(kill(daemon, SIGHUP), 0);
    ASSERT_TRUE(eventually([&] { return shim.recordsWithText(kHangUpText).size() == 2; }));
    EXPECT_EQ(shim.recordsWithText(kHangUpText)[0].priority, LOG_WARNING);

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    ASSERT_EQ(reaper.reap(daemon), 0);
    EXPECT_EQ(shim.recordsWithText("Done").size(), 1u);
    EXPECT_EQ(dir.calls("run").entries(), kFullLifeCycle);
}

// Faults 2 and 16 in the foreground: the warning goes to standard error,
// and the descriptors are closed on exec there too.
TEST_F(HostileStart, ForegroundShrugsOffHangUpsAndBrokenPipes) {
    plugins.set("hold_open", "release");
    auto server = dir.start("run", launch({"-d"}));
    ASSERT_TRUE(server->waitForOutput(kPromptText, 120s)) << server->errors();
    expectDescriptorsClosedOnExec(2);

    server->signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return occurrences(server->errors(), kHangUpText) == 1; }));
    server->signal(SIGPIPE);
    server->signal(SIGHUP);
    ASSERT_TRUE(eventually([&] { return occurrences(server->errors(), kHangUpText) == 2; }))
        << server->errors();
    EXPECT_NE(server->errors().find(std::string("Warning: ") + kHangUpText), std::string::npos);

    server->signal(SIGTERM);
    ASSERT_EQ(server->wait(120s), 0) << server->errors();
    EXPECT_EQ(server->output(), std::string(kStartingText) + kPromptText + kStoppingText);
    EXPECT_EQ(dir.calls("run").entries(), kFullLifeCycle);
}

}  // namespace
