// One run of the real executable in the foreground with three small C
// plugins that exchange messages through it: a producer that sends events
// from its own thread, a consumer that retains every payload and gives it
// back later from its own thread, and a reader that answers a read request
// from the worker the core starts for it, one answer in flight at a time.
// Each plugin writes what it sees into a log file of its own
// (test_plugins/life_plugin.h); the test reads those logs, the status
// document beside the executable and the server's exit status.
//
// The executable is linked into a directory of its own with a "plugins"
// directory beside it, and runs with its own HOME and working directory.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "plugin_folder.h"
#include "server_process.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

constexpr int kEvents = 12;
constexpr int kAnswers = 4;

struct LogLine {
    unsigned long long time;  // CLOCK_MONOTONIC nanoseconds
    std::string text;
};

std::vector<LogLine> readLog(const std::string& path) {
    std::vector<LogLine> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto space = line.find(' ');
        if (space == std::string::npos) continue;
        lines.push_back({std::stoull(line.substr(0, space)), line.substr(space + 1)});
    }
    return lines;
}

Texts textsOf(const std::vector<LogLine>& lines) {
    Texts texts;
    for (const LogLine& line : lines) texts.push_back(line.text);
    return texts;
}

Texts startingWith(const std::vector<LogLine>& lines, const std::string& prefix) {
    Texts texts;
    for (const LogLine& line : lines) {
        if (line.text.rfind(prefix, 0) == 0) texts.push_back(line.text);
    }
    return texts;
}

// The time of the one line reading `text`; a failure when there is none.
unsigned long long timeOf(const std::vector<LogLine>& lines, const std::string& text) {
    for (const LogLine& line : lines) {
        if (line.text == text) return line.time;
    }
    ADD_FAILURE() << "no line \"" << text << "\"";
    return 0;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::string two(int number) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", number);
    return text;
}

// Ignores a signal while it lives: a server that ended early must fail the
// test with its output, not kill it when the test writes to its input.
class IgnoredSignal {
public:
    explicit IgnoredSignal(int number) : number(number), previous(std::signal(number, SIG_IGN)) {}
    ~IgnoredSignal() { std::signal(number, previous); }

private:
    const int number;
    void (*const previous)(int);
};

class PluginsEndToEnd : public testing::Test {
protected:
    PluginsEndToEnd() {
        for (const std::string& directory : {server, server + "/plugins", home, logs, output}) {
            std::filesystem::create_directories(directory);
        }
        placeServerExecutable(server + "/tessard");
        for (const char* plugin : {"life_producer", "life_consumer", "life_reader"}) {
            std::filesystem::copy_file(testPluginPath(plugin),
                                       server + "/plugins/" + plugin + ".so");
        }
    }

    ServerOptions options() const {
        ServerOptions options;
        options.program = server + "/tessard";
        options.arguments = {"-d"};
        // Not the executable's directory: the server must find its plugins
        // beside itself, and write its files there.
        options.workingDirectory = scratch.path();
        options.home = home;
        options.environment = sanitizerEnvironment(output);
        options.environment["LIFE_LOG_DIR"] = logs;
        return options;
    }

    std::vector<LogLine> log(const std::string& plugin) const {
        return readLog(logs + "/" + plugin + ".log");
    }

    // Every payload given back and every answer sent: nothing is left to
    // happen before the stop.
    bool settled() const {
        return startingWith(log("life_consumer"), "release ").size() ==
                   static_cast<std::size_t>(kEvents + kAnswers) &&
               !startingWith(log("life_reader"), "read done").empty();
    }

    // Starts the server and waits until the plugins are done or the server
    // has ended. The claim that keeps a second server from running is
    // machine-wide, and a daemon test of another tree may hold it for a
    // moment: a server refused for that is started again once it is free.
    std::unique_ptr<ServerProcess> startUntilSettled() const {
        const auto deadline = std::chrono::steady_clock::now() + 3min;
        for (;;) {
            auto process = std::make_unique<ServerProcess>(options(), output);
            waitUntil([&] { return settled() || process->wait(0ms).has_value(); }, 60s);
            const bool refused = process->wait(0ms).has_value() &&
                                 process->errors().find("already running") != std::string::npos;
            if (!refused || std::chrono::steady_clock::now() > deadline) return process;
            std::this_thread::sleep_for(1s);
        }
    }

    TempDir scratch;
    const std::string server = scratch / "server";
    const std::string home = scratch / "home";
    const std::string logs = scratch / "logs";
    const std::string output = scratch / "output";
};

const std::string kLoaded = "load context=24/3 info=112/1";

// A life plugin's log opens with Load and Open and ends with Close and
// Unload.
void expectLifeCycle(const std::vector<LogLine>& lines, const std::string& plugin) {
    const Texts texts = textsOf(lines);
    ASSERT_GE(texts.size(), 4u) << plugin;
    EXPECT_EQ(Texts(texts.begin(), texts.begin() + 2), (Texts{kLoaded, "open"})) << plugin;
    EXPECT_EQ(Texts(texts.end() - 2, texts.end()), (Texts{"close", "unload"})) << plugin;
}

// The producer's events and request were all accepted, from the moment the
// status document reached it.
void expectProducerLog(const std::vector<LogLine>& producer) {
    Texts expected{kLoaded, "open", "status document"};
    for (int number = 1; number <= kEvents; ++number) {
        expected.push_back("sent event " + two(number) + " status=0");
    }
    expected.insert(expected.end(), {"sent request status=0", "close", "unload"});
    EXPECT_EQ(textsOf(producer), expected);
}

// The consumer got every event, then every answer, in the order sent, and
// gave each back after it arrived, its contents still intact.
void expectConsumerLog(const std::vector<LogLine>& consumer) {
    Texts writes;
    Texts releases;
    for (int number = 1; number <= kEvents; ++number) {
        writes.push_back("write event " + two(number) +
                         " source=4c1f0001 handle=0 extra=" + std::to_string(number));
        releases.push_back("release event " + two(number) + " status=0");
    }
    for (int number = 1; number <= kAnswers; ++number) {
        writes.push_back("write answer " + std::to_string(number) +
                         " source=4c1f0003 handle=5eed extra=0");
        releases.push_back("release answer " + std::to_string(number) + " status=0");
    }
    EXPECT_EQ(startingWith(consumer, "write "), writes);
    EXPECT_EQ(startingWith(consumer, "release "), releases);
    for (std::size_t index = 0; index < writes.size(); ++index) {
        EXPECT_LE(timeOf(consumer, writes[index]), timeOf(consumer, releases[index]))
            << releases[index];
    }
    EXPECT_EQ(startingWith(consumer, "status document").size(), 1u);
    expectLifeCycle(consumer, "life_consumer");
}

// The reader had the scheduler's start-up Read and the request, both on a
// worker; each answer went out only once the consumer had given back the
// one before.
void expectReaderLog(const std::vector<LogLine>& reader, const std::vector<LogLine>& consumer) {
    const Texts reads = startingWith(reader, "read handle=");
    EXPECT_EQ(
        std::multiset<std::string>(reads.begin(), reads.end()),
        (std::multiset<std::string>{"read handle=0 length=0 payload= worker=yes",
                                    "read handle=5eed length=9 payload=answers=4 worker=yes"}));
    Texts answered;
    for (int number = 1; number <= kAnswers; ++number) {
        answered.push_back("answered " + std::to_string(number) + " status=0");
    }
    EXPECT_EQ(startingWith(reader, "answered "), answered);
    for (int number = 1; number < kAnswers; ++number) {
        EXPECT_GT(timeOf(reader, answered[number]),
                  timeOf(consumer, "release answer " + std::to_string(number) + " status=0"))
            << "answer " << number + 1 << " went out while answer " << number << " was held";
    }
    EXPECT_LT(timeOf(reader, answered.back()), timeOf(reader, "read done"));
    expectLifeCycle(reader, "life_reader");
}

// "plugins.xml" beside the executable lists the core and the three plugins,
// each opened without error.
void expectStatusDocument(const std::string& document) {
    const std::map<std::string, std::uint64_t> ids{{"life_producer.so", 0x4C1F0001},
                                                   {"life_consumer.so", 0x4C1F0002},
                                                   {"life_reader.so", 0x4C1F0003}};
    for (const auto& [file, id] : ids) {
        EXPECT_NE(document.find("<Plugin ID=\"" + std::to_string(id) + "\" Filename=\"" + file +
                                "\" Opened=\"1\" OpenCode=\"0\" LoadTime=\""),
                  std::string::npos)
            << file << " is not listed in\n"
            << document;
    }
    std::size_t pluginElements = 0;
    for (auto at = document.find("<Plugin "); at != std::string::npos;
         at = document.find("<Plugin ", at + 1)) {
        ++pluginElements;
    }
    EXPECT_EQ(pluginElements, 4u) << document;
}

TEST_F(PluginsEndToEnd, PluginsExchangeMessagesThroughTheForegroundServer) {
    const std::unique_ptr<ServerProcess> started = startUntilSettled();
    ServerProcess& process = *started;
    const IgnoredSignal brokenPipe(SIGPIPE);
    ASSERT_TRUE(settled() && !process.wait(0ms).has_value())
        << "the server ended or hung before the plugins were done; status "
        << process.wait(0ms).value_or(-1) << "\nstdout:\n"
        << process.output() << "\nstderr:\n"
        << process.errors() << "\n"
        << sanitizerReports(output);
    process.writeInput("\n");
    const std::optional<int> status = process.wait(60s);
    ASSERT_TRUE(status.has_value()) << "the server did not stop";
    EXPECT_EQ(*status, 0) << process.errors();
    EXPECT_EQ(sanitizerReports(output), "");
    EXPECT_NE(process.output().find("starting the core..."), std::string::npos);
    EXPECT_NE(process.output().find("stopping the core..."), std::string::npos);
    EXPECT_EQ(process.errors(), "") << "the server complained";

    const std::vector<LogLine> producer = log("life_producer");
    const std::vector<LogLine> consumer = log("life_consumer");
    const std::vector<LogLine> reader = log("life_reader");
    expectProducerLog(producer);
    expectConsumerLog(consumer);
    expectReaderLog(reader, consumer);
    // Closed in descending close key, all before the first Unload.
    EXPECT_LT(timeOf(producer, "close"), timeOf(consumer, "close"));
    EXPECT_LT(timeOf(consumer, "close"), timeOf(reader, "close"));
    EXPECT_LT(timeOf(reader, "close"), timeOf(producer, "unload"));
    expectStatusDocument(readFile(server + "/plugins.xml"));
    EXPECT_FALSE(fileExists(scratch / "plugins.xml")) << "written into the working directory";
}

}  // namespace
