// The system monitor seen from outside: the real executable, run in the
// foreground from a directory of its own with two small C plugins that
// write down what they receive. It rewrites "core.xml" beside itself, sends
// the setting to every plugin, the first memory state to the plugin that
// subscribed to it, and starts one empty Read for the plugin that reads.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "plugin_folder.h"
#include "server_process.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;

const std::string kSettingsFile =
    "<?xml ?>\n<Zelt Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n</Zelt>\n";
const std::string kSettingsNotice =
    "<?xml ?><Zelt Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\" /></Zelt>";

std::vector<std::string> linesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::size_t countOf(const std::vector<std::string>& lines, const std::string& wanted) {
    std::size_t count = 0;
    for (const std::string& line : lines) count += line == wanted ? 1 : 0;
    return count;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::seconds limit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

// A server that has already ended closed its end of the input pipe; writing
// the key to it must fail, not kill the test before it cleans up.
class IgnoreBrokenPipe {
public:
    IgnoreBrokenPipe() {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGPIPE, &ignore, &previous);
    }
    ~IgnoreBrokenPipe() { sigaction(SIGPIPE, &previous, nullptr); }

private:
    struct sigaction previous = {};
};

class MonitorEndToEnd : public testing::Test {
protected:
    MonitorEndToEnd() {
        std::filesystem::create_directory(server / "plugins");
        placeServerExecutable(server / "tessard");
        for (const char* plugin : {"mon_state_listener", "mon_start_reader"}) {
            std::filesystem::copy_file(testPluginPath(plugin),
                                       server / ("plugins/" + std::string(plugin) + ".so"));
        }
    }

    std::unique_ptr<ServerProcess> startServer() {
        ServerOptions options;
        options.program = server / "tessard";
        options.arguments = {"-d"};
        options.workingDirectory = elsewhere.path();
        options.home = home.path();
        options.environment = sanitizerEnvironment(output.path());
        options.environment["MON_RECORD_DIR"] = records.path();
        return std::make_unique<ServerProcess>(options, output.path());
    }

    // The single-instance claim is machine-wide (it includes the daemon's
    // PID file), and the suites of other checkouts on this machine may hold
    // it for a while: a refused start is retried until it is free.
    std::unique_ptr<ServerProcess> startWhenFree() {
        const auto deadline = std::chrono::steady_clock::now() + 180s;
        for (;;) {
            auto process = startServer();
            waitUntil([&] {
                return process->output().find("starting the core") != std::string::npos ||
                       process->wait(0ms).has_value();
            });
            const bool refused = process->wait(0ms).has_value() &&
                                 process->errors().find("already running") != std::string::npos;
            if (!refused || std::chrono::steady_clock::now() > deadline) return process;
            process.reset();
            std::this_thread::sleep_for(1s);
        }
    }

    std::string record(const std::string& name) const { return records / name; }

    IgnoreBrokenPipe brokenPipe;
    TempDir server;
    TempDir elsewhere;
    TempDir home;
    TempDir records;
    TempDir output;
};

TEST_F(MonitorEndToEnd, SettingStateAndStartupReadReachThePlugins) {
    writeFile(server / "core.xml",
              "<Zelt Delta=\"3\"><Memory Throttling=\"7\" Extra=\"x\" /><Other /></Zelt>");
    // Only the file beside the executable counts, not one in the directory
    // the server was started from.
    const std::string strayFile = "<Zelt><Memory Throttling=\"0\" /></Zelt>";
    writeFile(elsewhere / "core.xml", strayFile);

    const std::int64_t startTime = std::time(nullptr);
    auto process = startWhenFree();
    const bool arrived = waitUntil([&] {
        return !linesOf(record("listener.write")).empty() &&
               countOf(linesOf(record("listener.ioctl")), "code=2 payload=" + kSettingsNotice) &&
               countOf(linesOf(record("reader.ioctl")), "code=2 payload=" + kSettingsNotice) &&
               !linesOf(record("reader.read")).empty();
    });
    EXPECT_TRUE(arrived) << "output:\n" << process->output() << "\nerrors:\n" << process->errors();
    process->writeInput("\n");
    const std::optional<int> status = process->wait(60s);
    const std::int64_t endTime = std::time(nullptr);
    ASSERT_TRUE(status.has_value()) << "the server did not stop after a key";
    EXPECT_EQ(*status, 0) << process->errors();

    const std::vector<std::string> writes = linesOf(record("listener.write"));
    ASSERT_EQ(writes.size(), 1u);
    // The time is the server's own; the rest is exact.
    const std::string head =
        "source=80000000 flags=4 type=1000010 payload=<?xml ?><Zelt><Memory "
        "ID=\"-2147483648\" Throttling=\"0\" Time=\"";
    const std::string tail = "\" /></Zelt>";
    const std::string& line = writes[0];
    ASSERT_GT(line.size(), head.size() + tail.size()) << line;
    ASSERT_EQ(line.substr(0, head.size()), head) << line;
    ASSERT_EQ(line.substr(line.size() - tail.size()), tail) << line;
    const std::string digits = line.substr(head.size(), line.size() - head.size() - tail.size());
    ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << line;
    const std::int64_t stateTime = std::stoll(digits);
    EXPECT_GE(stateTime, startTime);
    EXPECT_LE(stateTime, endTime);

    for (const char* file : {"listener.ioctl", "reader.ioctl"}) {
        EXPECT_EQ(countOf(linesOf(record(file)), "code=2 payload=" + kSettingsNotice), 1u) << file;
    }
    EXPECT_EQ(linesOf(record("reader.read")),
              std::vector<std::string>{"onWorker=1 handle=0 length=0 payload=null"});

    EXPECT_EQ(readFile(server / "core.xml"), kSettingsFile);
    EXPECT_EQ(readFile(elsewhere / "core.xml"), strayFile);
    EXPECT_EQ(sanitizerReports(output.path()), "");
}

}  // namespace
