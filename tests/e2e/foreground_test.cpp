// The foreground run mode of the real executable: what it says at the
// console, what stops it, and that every way of stopping it closes and
// unloads the plugins; and the command line's refusals.

#include <signal.h>

#include <gtest/gtest.h>

#include "host_texts.h"
#include "server_dir.h"

namespace {

const std::string kConsole = std::string(kStartingText) + kPromptText + kStoppingText;

class Foreground : public testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(dir.sanitizerReports(), ""); }

    // Every call the plugin received came from the server process itself,
    // which never forked and never opened the system log.
    void expectRanInItsOwnProcess(const std::string& name, pid_t pid) {
        for (const PluginCall& call : dir.calls(name).calls()) EXPECT_EQ(call.pid, pid) << call.entry;
        EXPECT_TRUE(dir.shim(name).forks().empty());
        EXPECT_TRUE(dir.shim(name).opens().empty());
    }

    ServerDir dir;
};

class DebugSwitch : public Foreground, public testing::WithParamInterface<const char*> {};

TEST_P(DebugSwitch, RunsInTheForegroundUntilAKey) {
    auto server = dir.startForeground("run", GetParam());
    ASSERT_EQ(server->output(), std::string(kStartingText) + kPromptText) << server->errors();
    EXPECT_FALSE(server->wait(std::chrono::milliseconds(0)).has_value()) << "it did not stay";
    EXPECT_EQ(dir.calls("run").entries(), (std::vector<std::string>{"Load", "Open"}));
    EXPECT_TRUE(fileExists(dir.bin() + "/plugins.xml"));
    EXPECT_NE(pidFileOwner(), server->pid());

    server->writeInput("\n");
    ASSERT_EQ(server->wait(), 0);
    EXPECT_EQ(server->output(), kConsole);
    EXPECT_EQ(dir.calls("run").entries(), kFullLifeCycle);
    expectRanInItsOwnProcess("run", server->pid());
}

INSTANTIATE_TEST_SUITE_P(ShortAndLong, DebugSwitch, testing::Values("-d", "--debug"));

TEST_F(Foreground, EndOfInputStopsIt) {
    auto server = dir.startForeground("run");
    ASSERT_TRUE(dir.calls("run").waitFor("Open"));
    server->closeInput();
    ASSERT_EQ(server->wait(), 0);
    EXPECT_EQ(server->output(), kConsole);
    EXPECT_EQ(dir.calls("run").entries(), kFullLifeCycle);
    expectRanInItsOwnProcess("run", server->pid());
}

class ForegroundSignal : public Foreground, public testing::WithParamInterface<int> {};

TEST_P(ForegroundSignal, RunsTheStopSequenceAndExitsZero) {
    auto server = dir.startForeground("run");
    ASSERT_TRUE(dir.calls("run").waitFor("Open"));
    server->signal(GetParam());
    ASSERT_EQ(server->wait(), 0) << server->errors();
    EXPECT_EQ(server->output(), kConsole);
    EXPECT_EQ(dir.calls("run").entries(), kFullLifeCycle);
    EXPECT_NE(server->errors().find("Received signal " + std::to_string(GetParam()) + ", Exiting..."),
              std::string::npos)
        << server->errors();
    expectRanInItsOwnProcess("run", server->pid());
}

INSTANTIATE_TEST_SUITE_P(IntTermQuit, ForegroundSignal, testing::Values(SIGINT, SIGTERM, SIGQUIT),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(sigabbrev_np(info.param));
                         });

// Without its signal queue the foreground server says so and still stops on
// a key.
TEST_F(Foreground, RunsOnWithoutItsSignalQueue) {
    Launch launch;
    launch.arguments = {"-d"};
    launch.preload = {TESSARD_SIGNAL_INIT_FAILURE};
    auto server = dir.start("run", launch);
    ASSERT_TRUE(server->waitForOutput(kPromptText)) << server->errors();
    EXPECT_NE(server->errors().find(
                  "Error: Could not register signal handlers (error 24: Too many open files)"),
              std::string::npos)
        << server->errors();
    server->writeInput("\n");
    ASSERT_EQ(server->wait(), 0);
    EXPECT_EQ(server->output(), kConsole);
    EXPECT_EQ(dir.calls("run").entries(), kFullLifeCycle);
}

// A command line that the parser refuses, and what it says on standard error.
struct Refusal {
    std::vector<std::string> arguments;
    std::string error;
};

class CommandLine : public Foreground, public testing::WithParamInterface<Refusal> {};

TEST_P(CommandLine, IsRefusedBeforeAnythingStarts) {
    Launch launch;
    launch.arguments = GetParam().arguments;
    auto server = dir.start("run", launch);
    ASSERT_EQ(server->wait(), 255);
    EXPECT_EQ(server->output(), "");
    const std::string errors = server->errors();
    EXPECT_NE(errors.find(GetParam().error), std::string::npos) << errors;
    EXPECT_NE(errors.find("Usage: tessard [-h] [--verbose] [-d]\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("  -d, --debug\tdo not daemonize\n"), std::string::npos) << errors;
    EXPECT_TRUE(dir.calls("run").calls().empty()) << "a Core was started";
    EXPECT_TRUE(dir.shim("run").forks().empty());
    EXPECT_FALSE(fileExists(dir.bin() + "/plugins.xml"));
}

INSTANTIATE_TEST_SUITE_P(
    HelpAndErrors, CommandLine,
    testing::Values(Refusal{{"--help"}, "  -h, --help \tshow this help message\n"},
                    Refusal{{"-h"}, "  -h, --help \tshow this help message\n"},
                    Refusal{{"--bogus"}, "Unknown long option 'bogus'"},
                    Refusal{{"-d", "-x"}, "Unknown option 'x'"},
                    Refusal{{"-d", "extra"}, "Unexpected parameter 'extra'"},
                    Refusal{{"--debug=yes"}, "Unexpected characters following option 'debug'."}));

// Help goes to standard error alone: the usage is all there is.
TEST_F(Foreground, HelpWritesOnlyTheUsage) {
    Launch launch;
    launch.arguments = {"--help"};
    auto server = dir.start("run", launch);
    ASSERT_EQ(server->wait(), 255);
    EXPECT_EQ(server->errors(),
              "Usage: tessard [-h] [--verbose] [-d]\n"
              "  -h, --help \tshow this help message\n"
              "  --verbose  \tgenerate verbose log messages\n"
              "  -d, --debug\tdo not daemonize\n");
}

}  // namespace
