// Only one copy of the server runs at a time, whichever mode each copy is
// started in: a second copy is refused before it starts a Core or forks, and
// once the first has ended a new copy starts.

#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <tuple>

#include "host_texts.h"
#include "server_dir.h"

namespace {

enum class Mode { Foreground, Daemon };

const char* nameOf(Mode mode) { return mode == Mode::Foreground ? "Foreground" : "Daemon"; }

void PrintTo(Mode mode, std::ostream* out) { *out << nameOf(mode); }

Launch launchIn(Mode mode) {
    Launch launch;
    if (mode == Mode::Foreground) launch.arguments = {"-d"};
    return launch;
}

// A running copy of the server. `pid` is the process that runs the Core.
struct Copy {
    Mode mode;
    std::unique_ptr<ServerProcess> process;
    pid_t pid = 0;
};

Copy startCopy(ServerDir& dir, Mode mode, const std::string& name) {
    Copy copy{mode, nullptr, 0};
    if (mode == Mode::Foreground) {
        copy.process = dir.startForeground(name);
        copy.pid = copy.process->pid();
    } else {
        const DaemonLaunch launch = dir.startDaemon(name);
        if (launch.launcherStatus == 0) copy.pid = launch.daemon;
    }
    if (!dir.calls(name).waitFor("Open") || dir.calls(name).firstPid() != copy.pid) copy.pid = 0;
    return copy;
}

// Stops the copy the orderly way and waits until its process is gone.
bool stopCopy(Copy& copy) {
    if (copy.mode == Mode::Foreground) {
        copy.process->writeInput("\n");
        return copy.process->wait() == 0;
    }
    return kill(copy.pid, SIGTERM) == 0 && waitUntilGone(copy.pid);
}

class SingleInstance : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(isRunning(pidFileOwner())) << "a tessard daemon already runs on this machine";
    }
    void TearDown() override { EXPECT_EQ(dir.sanitizerReports(), ""); }

    // The refused copy said so on its own standard error, which a forked
    // daemon no longer has, and it neither forked nor loaded a plugin.
    void expectRefused(ServerProcess& copy, const std::string& name) {
        const std::optional<int> status = copy.wait();
        ASSERT_TRUE(status.has_value());
        EXPECT_NE(*status, 0);
        const std::string errors = copy.errors();
        EXPECT_NE(errors.find(kAlreadyRunningText), std::string::npos) << errors;
        EXPECT_EQ(errors.find("Daemon returned"), std::string::npos) << errors;
        EXPECT_EQ(copy.output(), "");
        EXPECT_TRUE(dir.calls(name).calls().empty()) << "the refused copy started a Core";
        EXPECT_TRUE(dir.shim(name).forks().empty()) << "the refused copy forked";
    }

    ServerDir dir;
};

class Pair : public SingleInstance, public testing::WithParamInterface<std::tuple<Mode, Mode>> {};

TEST_P(Pair, SecondCopyIsRefusedUntilTheFirstHasEnded) {
    const auto [firstMode, secondMode] = GetParam();
    Copy first = startCopy(dir, firstMode, "first");
    ASSERT_GT(first.pid, 0) << "the first copy did not start";

    auto second = dir.start("second", launchIn(secondMode));
    expectRefused(*second, "second");
    // The refused copy left the first one's claim as it was.
    EXPECT_EQ(readFile(dir.home() + "/Quillon"), std::to_string(first.pid) + '\0');
    EXPECT_TRUE(isRunning(first.pid));

    ASSERT_TRUE(stopCopy(first));
    Copy third = startCopy(dir, secondMode, "third");
    ASSERT_GT(third.pid, 0) << "no copy started after the first had ended";
    EXPECT_TRUE(stopCopy(third));
}

INSTANTIATE_TEST_SUITE_P(
    AllModes, Pair,
    testing::Combine(testing::Values(Mode::Foreground, Mode::Daemon),
                     testing::Values(Mode::Foreground, Mode::Daemon)),
    [](const testing::TestParamInfo<std::tuple<Mode, Mode>>& info) {
        return std::string(nameOf(std::get<0>(info.param))) + "Then" +
               nameOf(std::get<1>(info.param));
    });

class SecondHome : public SingleInstance, public testing::WithParamInterface<Mode> {};

// A copy started with another HOME does not see the daemon's lock file, but
// it sees the daemon's PID file.
TEST_P(SecondHome, RefusedWhileADaemonRuns) {
    Copy first = startCopy(dir, Mode::Daemon, "first");
    ASSERT_GT(first.pid, 0) << "the daemon did not start";

    Launch launch = launchIn(GetParam());
    launch.home = dir / "other-home";
    std::filesystem::create_directories(launch.home);
    auto second = dir.start("second", launch);
    expectRefused(*second, "second");
    EXPECT_TRUE(isRunning(first.pid));
    EXPECT_TRUE(stopCopy(first));
}

INSTANTIATE_TEST_SUITE_P(EitherMode, SecondHome,
                         testing::Values(Mode::Foreground, Mode::Daemon),
                         [](const testing::TestParamInfo<Mode>& info) {
                             return std::string(nameOf(info.param));
                         });

}  // namespace
