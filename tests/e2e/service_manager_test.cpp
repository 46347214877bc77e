// The daemon under a service manager of the test's own, end to end: what it
// tells the manager (status, watchdog keep-alives, the start of its stop)
// and what it logs of its plugins. The manager is a datagram socket named
// by NOTIFY_SOCKET; WATCHDOG_USEC asks for keep-alives every 2 seconds.

#include <signal.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_texts.h"
#include "hostile_plugins.h"
#include "manager_socket.h"
#include "server_dir.h"
#include "subreaper.h"

namespace {

using namespace std::chrono_literals;

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Whether a line of the datagram begins with `word`: what piles up while
// the notifier waits goes out together, one line each.
bool says(const std::string& datagram, const std::string& word) {
    return startsWith(datagram, word) || datagram.find("\n" + word) != std::string::npos;
}

class ServiceManager : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(reaper.active() && manager.ready()); }
    void TearDown() override { EXPECT_EQ(dir.sanitizerReports(), ""); }

    // The datagrams that come until one says `word`, that one last; all of
    // them when none does within `limit`.
    std::vector<std::string> receiveUntil(const std::string& word,
                                          std::chrono::seconds limit = 60s) {
        std::vector<std::string> received;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            received.push_back(manager.receive(1s));
            if (says(received.back(), word)) break;
        }
        return received;
    }

    // Forgets what the manager has not read yet.
    void drain() {
        while (!manager.receive(0ms).empty()) {
        }
    }

    Subreaper reaper;
    ManagerSocket manager;
    ServerDir dir;
    HostilePlugins plugins{dir};
};

// Catches keep-alives that go on while the event handler is stuck in one
// plugin call (a hung server would never be restarted) or never resume
// once the call returns; a status line or STOPPING=1 that never comes; a
// plugin table missing from the log; a slow call not named, or named
// without its end.
TEST_F(ServiceManager, KeepAlivesStopWhileAPluginHangsTheHandlerAndResumeAfter) {
    // Its Write does not return until released: the handler hangs at once.
    plugins.install("stuck_write");
    Launch launch;
    launch.environment = plugins.environment();
    launch.environment["NOTIFY_SOCKET"] = manager.path();
    launch.environment["WATCHDOG_USEC"] = "2000000";
    const DaemonLaunch started = dir.startDaemon("run", launch);
    ASSERT_EQ(started.launcherStatus, 0) << started.launcherErrors;
    const pid_t daemon = started.daemon;
    dir.watch(daemon);
    const ShimLog log = dir.shim("run");
    EXPECT_TRUE(log.waitForText("plugin stuck_write.so: ID 0x"));
    // With the call log every server directory has.
    EXPECT_TRUE(log.waitForText("plugin host_call_log.so: ID 0x"));
    EXPECT_TRUE(log.waitForText("2 plugins loaded, 0 failed to load"));

    // Named once it has run 2 seconds; from then on, well past half the
    // interval, the housekeeping thread still says how the server fares
    // but no longer that it is alive.
    const std::string named = "plugin stuck_write.so has been in Write for ";
    ASSERT_TRUE(log.waitForText(named, 120s));
    // What was sent before may still wait in the socket, or in the
    // notifier with the next status; a second status comes a pass later.
    drain();
    ASSERT_TRUE(says(receiveUntil("STATUS=").back(), "STATUS="));
    const std::vector<std::string> whileStuck = receiveUntil("STATUS=");
    ASSERT_TRUE(startsWith(whileStuck.back(), "STATUS=2 plugins, ")) << whileStuck.back();
    for (const std::string& datagram : whileStuck) EXPECT_FALSE(says(datagram, "WATCHDOG=1"));

    plugins.set("stuck_write", "release");
    EXPECT_TRUE(says(receiveUntil("WATCHDOG=1").back(), "WATCHDOG=1"));
    EXPECT_TRUE(log.waitForText("plugin stuck_write.so returned from Write after"));

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_TRUE(says(receiveUntil("STOPPING=1").back(), "STOPPING=1"));
    ASSERT_EQ(reaper.reap(daemon), 0);
    std::size_t namings = 0;
    for (const SyslogRecord& record : log.records()) namings += startsWith(record.text, named);
    EXPECT_EQ(namings, 1u);
}

}  // namespace
