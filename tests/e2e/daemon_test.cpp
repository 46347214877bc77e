// The daemon run mode of the real executable, end to end: the launcher's
// verdict, the PID file, the syslog records, and the orderly stop on SIGINT,
// SIGTERM and SIGQUIT. The daemon's syslog records are seen through the host
// shim preloaded into it; the test process adopts the daemon as its
// subreaper, so it learns the daemon's exit status.

#include <signal.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "host_texts.h"
#include "server_dir.h"
#include "subreaper.h"

namespace fs = std::filesystem;

namespace {


// The position of the one record of `pid` whose text is `text`; -1 when
// there is none, -2 when there are several.
int positionOf(const std::vector<SyslogRecord>& records, pid_t pid, const std::string& text) {
    int found = -1;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].pid != pid || records[i].text != text) continue;
        if (found != -1) return -2;
        found = static_cast<int>(i);
    }
    return found;
}

std::string umaskOf(pid_t pid) {
    const std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    const auto line = status.find("Umask:\t");
    return line == std::string::npos ? "" : status.substr(line + 7, 4);
}

class Daemon : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(reaper.active());
        ASSERT_FALSE(isRunning(pidFileOwner())) << "a tessard daemon already runs on this machine";
    }
    void TearDown() override { EXPECT_EQ(dir.sanitizerReports(), ""); }

    // Starts the daemon and checks the launcher's verdict; 0 on failure.
    pid_t startDaemon(const Launch& how = {}) {
        const DaemonLaunch launch = dir.startDaemon("run", how);
        EXPECT_EQ(launch.launcherStatus, 0) << launch.launcherErrors;
        EXPECT_EQ(launch.launcherErrors, "");
        if (launch.launcherStatus != 0 || !isRunning(launch.daemon)) return 0;
        return launch.daemon;
    }

    // Every plugin call came from the daemon, and the plugins went through
    // their whole life.
    void expectStoppedInOrder(pid_t daemon) {
        EXPECT_EQ(dir.calls("run").entries(), kFullLifeCycle);
        for (const PluginCall& call : dir.calls("run").calls()) EXPECT_EQ(call.pid, daemon);
        EXPECT_FALSE(fileExists(kPidFile)) << "the PID file was left behind";
    }

    // Declared before the directory, so that it still adopts the daemons
    // its guard kills.
    Subreaper reaper;
    ServerDir dir;
};

TEST_F(Daemon, RunsApartFromTheLauncher) {
    const pid_t daemon = startDaemon();
    ASSERT_GT(daemon, 0);
    EXPECT_EQ(readFile(kPidFile), std::to_string(daemon) + "\n");
    // The launcher forked a process that forked the daemon and ended.
    const std::vector<ForkRecord> forks = dir.shim("run").forkChain();
    ASSERT_EQ(forks.size(), 2u) << readFile(dir / "runs/run/shim.log");
    EXPECT_EQ(forks[1].child, daemon);
    EXPECT_FALSE(isRunning(forks[0].child));
    // The daemon had opened its plugins before it told the launcher.
    EXPECT_EQ(dir.calls("run").entries(), (std::vector<std::string>{"Load", "Open"}));
    EXPECT_EQ(dir.calls("run").firstPid(), daemon);
    EXPECT_EQ(workingDirectoryOf(daemon), fs::canonical(dir.bin()).string());
    EXPECT_EQ(umaskOf(daemon), "0022");
    EXPECT_TRUE(fileExists(dir.bin() + "/plugins.xml"));
    EXPECT_EQ(readFile(dir.home() + "/Quillon"), std::to_string(daemon) + '\0');

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    ASSERT_EQ(reaper.reap(daemon), 0);
    expectStoppedInOrder(daemon);
    EXPECT_FALSE(fileExists(dir.home() + "/Quillon"));
}

class DaemonSignal : public Daemon, public testing::WithParamInterface<int> {};

TEST_P(DaemonSignal, StopsTheDaemonInOrder) {
    const pid_t daemon = startDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(kill(daemon, GetParam()), 0);
    ASSERT_EQ(reaper.reap(daemon), 0) << "the daemon did not stop the orderly way";
    expectStoppedInOrder(daemon);

    const std::vector<SyslogRecord> records = dir.shim("run").records();
    const std::string received = "Received signal " + std::to_string(GetParam()) + ", Exiting...";
    const int started = positionOf(records, daemon, kStartedText);
    const int stopping = positionOf(records, daemon, received);
    const int done = positionOf(records, daemon, "Done");
    ASSERT_GE(started, 0);
    ASSERT_GT(stopping, started);
    ASSERT_GT(done, stopping);
    for (int position : {started, stopping, done}) {
        EXPECT_EQ(records[position].priority, LOG_INFO) << records[position].text;
        EXPECT_EQ(records[position].format, "%s") << records[position].text;
    }
}

INSTANTIATE_TEST_SUITE_P(IntTermQuit, DaemonSignal, testing::Values(SIGINT, SIGTERM, SIGQUIT),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// The daemon logs only to syslog, under its identifier with its process ID
// and the daemon facility; the launcher never opens the system log.
TEST_F(Daemon, LogsToSyslogUnderItsIdentifier) {
    // A plugin file that is no library makes the loader log an error; its
    // name holds a '%' that must arrive as it is.
    writeFile(dir.bin() + "/plugins/50% done %s.so", "not a library");
    const pid_t daemon = startDaemon();
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    ASSERT_EQ(reaper.reap(daemon), 0);

    const ShimLog shim = dir.shim("run");
    const std::vector<SyslogOpen> opens = shim.opens();
    ASSERT_FALSE(opens.empty());
    EXPECT_EQ(opens.front().pid, daemon);
    EXPECT_EQ(opens.front().ident, "tessard");
    EXPECT_EQ(opens.front().option, LOG_PID | LOG_CONS);
    EXPECT_EQ(opens.front().facility, LOG_DAEMON);
    EXPECT_EQ(shim.closes(), std::vector<pid_t>{daemon});

    const std::string failed = "Failed to load shared library '" + dir.bin() +
                               "/plugins/50% done %s.so': " + dir.bin() +
                               "/plugins/50% done %s.so: file too short";
    const std::vector<SyslogRecord> errors = shim.recordsWithText(failed);
    ASSERT_EQ(errors.size(), 1u) << "the load error did not arrive unchanged";
    EXPECT_EQ(errors[0].pid, daemon);
    EXPECT_EQ(errors[0].priority, LOG_ERR);
    EXPECT_EQ(errors[0].format, "%s");
    for (const SyslogRecord& record : shim.records()) EXPECT_EQ(record.pid, daemon) << record.text;
}

// A daemon that died without its stop sequence leaves its PID file and its
// lock file; the next daemon takes both over.
TEST_F(Daemon, StartsAgainAfterAKilledDaemon) {
    const pid_t killed = startDaemon();
    ASSERT_GT(killed, 0);
    ASSERT_EQ(kill(killed, SIGKILL), 0);
    ASSERT_EQ(reaper.reap(killed), 128 + SIGKILL);
    ASSERT_EQ(pidFileOwner(), killed);

    const DaemonLaunch next = dir.startDaemon("next");
    ASSERT_EQ(next.launcherStatus, 0) << next.launcherErrors;
    ASSERT_TRUE(isRunning(next.daemon));
    EXPECT_NE(next.daemon, killed);
    EXPECT_EQ(dir.calls("next").firstPid(), next.daemon);
    EXPECT_EQ(readFile(dir.home() + "/Quillon"), std::to_string(next.daemon) + '\0');
    ASSERT_EQ(kill(next.daemon, SIGTERM), 0);
    ASSERT_EQ(reaper.reap(next.daemon), 0);
    EXPECT_EQ(dir.calls("next").entries(), kFullLifeCycle);
    EXPECT_FALSE(fileExists(kPidFile));
}

// A daemon that cannot register its signal queue could never be stopped by
// a signal: it tells the launcher 2 and shuts down the orderly way at once,
// without starting the Core, and ends with that status.
TEST_F(Daemon, ShutsDownWhenItCannotRegisterItsSignals) {
    Launch launch;
    launch.preload = {TESSARD_SIGNAL_INIT_FAILURE};
    const DaemonLaunch refused = dir.startDaemon("run", launch);
    ASSERT_EQ(refused.launcherStatus, 2) << refused.launcherErrors;
    EXPECT_NE(refused.launcherErrors.find("Daemon returned 2"), std::string::npos)
        << refused.launcherErrors;

    // Not the second record: the launcher's may come after the
    // intermediate process's, whose child is no child of the test.
    const std::vector<ForkRecord> forks = dir.shim("run").forkChain();
    ASSERT_EQ(forks.size(), 2u) << readFile(dir / "runs/run/shim.log");
    const pid_t daemon = forks[1].child;
    EXPECT_EQ(reaper.reap(daemon), 2);
    EXPECT_TRUE(dir.calls("run").calls().empty()) << "the Core was started";
    EXPECT_FALSE(fileExists(kPidFile)) << "the PID file was left behind";
    EXPECT_FALSE(fileExists(dir.home() + "/Quillon")) << "the lock file was left behind";

    const std::vector<SyslogRecord> records = dir.shim("run").records();
    const int failed =
        positionOf(records, daemon, "Could not register signal handlers (error 24: Too many open files)");
    const int done = positionOf(records, daemon, "Done");
    ASSERT_GE(failed, 0);
    EXPECT_EQ(records[failed].priority, LOG_ERR);
    EXPECT_GT(done, failed);
    EXPECT_EQ(positionOf(records, daemon, kStartedText), -1);
}

}  // namespace
