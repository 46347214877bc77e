// A daemon that cannot create its PID file tells the launcher so and keeps
// running. The test gives the server a private mount namespace with a
// read-only /run (where /var/run points), so that the machine's own /run is
// never touched; where the sandbox allows no such namespace, it is skipped.

#include <signal.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "host_texts.h"
#include "server_dir.h"

namespace {

const char kReadOnlyRun[] = "mount -t tmpfs -o ro tessard-test /run";

bool privateReadOnlyRunAvailable() {
    const std::string probe = std::string("unshare --mount --propagation private /bin/sh -c '") +
                              kReadOnlyRun + "' >/dev/null 2>&1";
    return std::system(probe.c_str()) == 0;
}

TEST(PidFile, DaemonRunsOnWhenItCannotBeCreated) {
    if (!privateReadOnlyRunAvailable()) {
        GTEST_SKIP() << "this machine gives no private mount namespace with a read-only /run";
    }
    ServerDir dir;
    Launch launch;
    launch.wrapper = {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                      std::string(kReadOnlyRun) + " && exec \"$@\"", "sh"};
    auto launcher = dir.start("run", launch);
    ASSERT_EQ(launcher->wait(std::chrono::seconds(30)), 1) << launcher->errors();
    EXPECT_NE(launcher->errors().find("Daemon returned 1"), std::string::npos) << launcher->errors();

    ASSERT_TRUE(dir.calls("run").waitFor("Open"));
    const pid_t daemon = dir.calls("run").firstPid();
    dir.watch(daemon);
    EXPECT_TRUE(isRunning(daemon)) << "the daemon did not keep running";
    const ShimLog shim = dir.shim("run");
    ASSERT_TRUE(shim.waitForText(kStartedText));
    const auto refused =
        shim.recordsWithText("Could not create PID file (error 30: Read-only file system)");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].pid, daemon);
    EXPECT_EQ(refused[0].priority, LOG_ERR);

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    ASSERT_TRUE(waitUntilGone(daemon));
    EXPECT_EQ(dir.calls("run").entries(), kFullLifeCycle);
    EXPECT_EQ(shim.recordsWithText("Done").size(), 1u);
    EXPECT_EQ(dir.sanitizerReports(), "");
}

}  // namespace
