// The metrics example plugin in the real server, run in the foreground as
// scripts/run.sh runs it, beside the three life-cycle test plugins, whose
// traffic is known (test_plugins/life_plugin.h): the producer sends 12
// events to the consumer and one read request, which the reader answers 4
// times. The core's statistics notice reaches the plugin every 10 seconds;
// what the plugin serves is checked by promtool and loaded in headless
// Chromium, whose screenshot stays in the build directory
// (metrics-page.png).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "foreground_server.h"
#include "metrics_client.h"
#include "plugin_folder.h"
#include "server_process.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ContainsRegex;
using testing::HasSubstr;

const char* const kPlugins[] = {"metrics.so", "life_producer.so", "life_consumer.so",
                                "life_reader.so"};

class MetricsPage : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(scratch / "server/plugins");
        fs::create_directories(scratch / "home");
        placeServerExecutable(scratch / "server/tessard");
        fs::copy_file(std::string(TESSARD_BUILD_DIR) + "/plugins/metrics.so",
                      scratch / "server/plugins/metrics.so");
        // Any free port: other test runs on the machine serve theirs.
        writeFile(scratch / "server/plugins/metrics.conf", "port = 0\n");
        for (const char* plugin : {"life_producer", "life_consumer", "life_reader"}) {
            fs::copy_file(testPluginPath(plugin), scratch / "server/plugins/" + plugin + ".so");
        }
    }

    void start() {
        ServerOptions options;
        options.program = scratch / "server/tessard";
        options.arguments = {"-d"};
        options.home = scratch / "home";
        options.environment = sanitizerEnvironment(scratch.path());
        server = startForeground(options, scratch.path());
        ASSERT_TRUE(server);
        ASSERT_TRUE(server->waitForOutput("metrics: page at http://127.0.0.1:", 60s))
            << server->output();
        port = printedPort(server->output());
    }

    // The Prometheus text once the plugin has received `documents`
    // statistics documents; the core sends one every 10 seconds.
    Exposition figuresAfter(double documents) {
        Exposition figures;
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        while (std::chrono::steady_clock::now() < deadline) {
            figures = readExposition(httpGet(port, "/metrics").body);
            if (figures.value("tessard_metrics_documents_total").value_or(0) >= documents) break;
            std::this_thread::sleep_for(200ms);
        }
        return figures;
    }

    void stop() {
        server->writeInput("\n");
        const std::optional<int> status = server->wait(60s);
        ASSERT_TRUE(status.has_value()) << "the server did not stop";
        EXPECT_EQ(*status, 0) << server->errors();
        EXPECT_EQ(server->errors(), "");
        EXPECT_EQ(sanitizerReports(scratch.path()), "");
        EXPECT_EQ(httpGet(port, "/").status, 0) << "the page outlived the server";
    }

    TempDir scratch;
    std::unique_ptr<ServerProcess> server;
    unsigned port = 0;
};

std::string series(const std::string& name, const std::string& plugin,
                   const std::string& more = "") {
    return name + "{plugin=\"" + plugin + "\"" + more + "}";
}

// Catches: a core notice the plugin's mask does not take, or that the
// core sends to nobody; a document whose element or attribute names the
// plugin does not read; figures that do not add up to the known traffic;
// text promtool rejects; a page that a browser cannot lay out or that lacks
// the plugins and their figures; a plugin whose server keeps the process
// from stopping cleanly.
TEST_F(MetricsPage, TheCoresStatisticsReachThePrometheusTextAndThePageInABrowser) {
    ASSERT_NO_FATAL_FAILURE(start());
    // Two documents, so that the page shows rates.
    const Exposition figures = figuresAfter(2);
    ASSERT_GE(figures.value("tessard_metrics_documents_total").value_or(0), 2)
        << server->output();
    const std::string text = httpGet(port, "/metrics").body;
    expectValidExposition(text);

    EXPECT_EQ(figures.value("tessard_plugins"), 4) << text;
    for (const char* plugin : kPlugins) {
        EXPECT_TRUE(figures.value(series("tessard_plugin_write_calls_total", plugin))) << plugin;
    }
    const std::map<std::string, double> known = {
        {series("tessard_plugin_write_calls_total", "life_consumer.so"), 12 + 4},
        {series("tessard_plugin_messages_sent_total", "life_producer.so", ",outcome=\"accepted\""),
         12},
        {series("tessard_plugin_messages_sent_total", "life_reader.so", ",outcome=\"accepted\""),
         4},
        {series("tessard_plugin_read_workers_started_total", "life_reader.so"), 2},
        {series("tessard_plugin_call_duration_seconds_count", "life_reader.so",
                ",entry=\"Read\""), 2},
        {series("tessard_plugin_holds", "life_consumer.so"), 0}};
    for (const auto& [name, value] : known) EXPECT_EQ(figures.value(name), value) << name;
    EXPECT_GE(figures.value(series("tessard_plugin_write_calls_total", "metrics.so")), 1)
        << "the statistics reach the plugin by Write";

    const std::string screenshot = std::string(TESSARD_BUILD_DIR) + "/metrics-page.png";
    fs::remove(screenshot);
    const std::optional<std::string> page =
        browserText("http://127.0.0.1:" + std::to_string(port) + "/", screenshot,
                    scratch / "browser");
    stop();
    if (!page) GTEST_SKIP() << "chromium is not installed: the page was not loaded in a browser";
    EXPECT_GT(fs::file_size(screenshot), 10000u) << *page;
    for (const char* plugin : kPlugins) EXPECT_THAT(*page, HasSubstr(plugin));
    EXPECT_THAT(*page, HasSubstr("life_consumer.so 0x4C1F0002 16 / "));
    EXPECT_THAT(*page, HasSubstr("Throttling off"));
    EXPECT_THAT(*page, ContainsRegex("Rates over the last [0-9]+ s\\."));
}

}  // namespace
