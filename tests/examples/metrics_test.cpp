// The metrics example plugin (examples/metrics) loaded into the test process
// from a copy of the built library, with a settings file beside it, and
// called the way the core calls it: recorded statistics documents go in
// through Write, and the test reads what its HTTP server answers. The
// end-to-end run with the real server and a browser is in
// e2e/metrics_page_test.cpp.

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "metrics_client.h"
#include "temp_dir.h"
#include "tessard_plugin.h"

namespace {

using testing::HasSubstr;
using testing::Not;

// The layout the plugin guide documents, with two plugins: the recorder
// and one whose file name needs escaping in both outputs.
std::string statistics(const std::string& uptime, const std::string& server,
                       const std::string& recorder, const std::string& sent) {
    return "<?xml ?><Zelt><Statistics ID=\"-2147483648\" Time=\"1765000000\" Uptime=\"" +
           uptime + "\" Interval=\"10\"><Server QueueDepth=\"3\" QueueHighWater=\"120\" " +
           server + " EventsRefused=\"12\" EventsDiscarded=\"0\" PayloadBytesHeld=\"1048576\" "
           "NoticesSent=\"400\" HeapCeiling=\"3221225472\" Plugins=\"2\" />"
           "<Plugin ID=\"2119499808\" Filename=\"recorder.so\" " + recorder +
           " IoctlCalls=\"400\" IoctlBytes=\"80000\" Holds=\"3\" HeldBytes=\"60000\" "
           "ReadWorkersStarted=\"2\" ReadWorkersRunning=\"0\">"
           "<Calls Entry=\"Write\" Count=\"90000\" Sampled=\"1406\" TotalMicroseconds=\"450000\" "
           "MaxMicroseconds=\"2500\" P50Microseconds=\"4\" P99Microseconds=\"64\" "
           "Buckets=\"0 12 100 600 500 100 50 30 10 3 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 "
           "0 0\" />"
           "<Calls Entry=\"Read\" Count=\"2\" Sampled=\"2\" TotalMicroseconds=\"5000000\" "
           "MaxMicroseconds=\"4000000\" P50Microseconds=\"1000000\" P99Microseconds=\"4000000\" "
           "Buckets=\"0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 1 0 1 0 0 0 0 0 0 0 0 0\" />"
           "<Sent " + sent + " Cancelled=\"0\" NoSequence=\"0\" Overrun=\"0\" Throttled=\"0\" "
           "Stopping=\"0\" /></Plugin>"
           "<Plugin ID=\"2119499856\" Filename=\"odd &quot;&lt;name&gt;\\.so\" WriteCalls=\"7\" />"
           "<Unattributed Accepted=\"1\" Cancelled=\"0\" NoSequence=\"0\" Overrun=\"0\" "
           "Throttled=\"0\" Stopping=\"0\" NoMemory=\"0\" /></Statistics></Zelt>";
}

// Ten seconds apart: 1000 more events, 500000 more bytes and 20 more
// messages sent; the heap reading gone (an allocator that cannot tell), and
// throttling begun.
const std::string kFirst = statistics(
    "3600", "EventsDispatched=\"90000\" Throttling=\"0\" HeapBytes=\"52428800\"",
    "WriteCalls=\"90000\" WriteBytes=\"45000000\"", "Accepted=\"5\" NoMemory=\"0\"");
const std::string kSecond =
    statistics("3610", "EventsDispatched=\"91000\" Throttling=\"1\"",
               "WriteCalls=\"91000\" WriteBytes=\"45500000\"", "Accepted=\"25\" NoMemory=\"2\"");

class MetricsPlugin : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(std::string(TESSARD_EXAMPLES_DIR) + "/metrics.so",
                                   directory / "metrics.so");
    }
    void TearDown() override {
        if (library == nullptr) return;
        if (!closed) stop();
        dlclose(library);
    }

    template <typename Entry>
    Entry entry(const char* name) {
        return reinterpret_cast<Entry>(dlsym(library, name));
    }

    // Load and Open with `settings` in metrics.conf; what Open printed.
    std::string start(const std::string& settings) {
        writeFile(directory / "metrics.conf", settings);
        library = dlopen((directory / "metrics.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(library, nullptr) << dlerror();
        if (library == nullptr) return "";
        LoadContext context{24, 3, nullptr, nullptr};
        info.size = 112;
        info.version = 1;
        EXPECT_EQ(entry<int32_t (*)(const LoadContext*, PluginInfo*)>("Load")(&context, &info), 0);
        OpenParams params{24, 1, {}};
        OpenResult result{16, 1, {}};
        testing::internal::CaptureStdout();  // where the examples print
        entry<int32_t (*)(const OpenParams*, OpenResult*)>("Open")(&params, &result);
        return testing::internal::GetCapturedStdout();
    }

    // Hands `document` to Write as the core does: a buffer of exactly its
    // length, not terminated, which AddressSanitizer guards.
    void deliver(const std::string& document, uint64_t source = CORE_ID) {
        const std::vector<char> payload(document.begin(), document.end());
        WriteRequest request{};
        request.size = 232;
        request.version = 1;
        request.length = static_cast<uint32_t>(payload.size());
        request.payload = payload.data();
        request.source = source;
        request.flags = MSG_SELECT_7;
        request.type = MSG_TYPE_STATISTICS;
        WriteReply reply{32, 1, {}, 0};
        entry<int32_t (*)(const WriteRequest*, WriteReply*)>("Write")(&request, &reply);
        EXPECT_EQ(reply.retain, 0u) << "the plugin keeps a copy, not the payload";
    }

    void stop() {
        CloseParams params{12, 1, 0};
        CoreStatus status{12, 1, 0};
        entry<int32_t (*)(const CloseParams*, CoreStatus*)>("Close")(&params, &status);
        closed = true;
    }

    TempDir directory;
    void* library = nullptr;
    bool closed = false;
    PluginInfo info{};
};

// Catches: a mask that misses the statistics notice; documents of other
// senders taken for the core's; a read past the unterminated payload;
// figures under the wrong name or label, from the older document, or
// not scaled to seconds; histogram buckets not cumulative or bounded
// wrongly; a figure the document lacked served as 0; unescaped plugin
// names; rates not taken between the two latest documents; throttling not
// shown; a page that loads something from elsewhere or does not reload;
// a Close that returns while the server still serves.
TEST_F(MetricsPlugin, ServesTheCoresStatisticsAsPrometheusTextAndAsAPageWithRates) {
    const unsigned port = printedPort(start("port = 0\n"));
    ASSERT_NE(port, 0u);
    EXPECT_TRUE(tessardTakesEvent(info.eventMasks[7], MSG_TYPE_STATISTICS));
    EXPECT_EQ(info.writeEvents, 1);

    EXPECT_EQ(readExposition(httpGet(port, "/metrics").body).samples,
              (std::map<std::string, double>{{"tessard_metrics_documents_total", 0}}));
    EXPECT_THAT(httpGet(port, "/").body, HasSubstr("No statistics yet"));

    deliver(kSecond, 0x7E550010);  // a plugin's, not the core's
    deliver(kFirst);
    deliver(kSecond);
    const HttpAnswer metrics = httpGet(port, "/metrics");
    ASSERT_EQ(metrics.status, 200);
    EXPECT_THAT(metrics.headers, HasSubstr("Content-Type: text/plain; version=0.0.4"));
    expectValidExposition(metrics.body);
    const Exposition figures = readExposition(metrics.body);
    const std::map<std::string, double> expected = {
        {"tessard_metrics_documents_total", 2},
        {"tessard_uptime_seconds", 3610},
        {"tessard_events_dispatched_total", 91000},
        {"tessard_throttling", 1},
        {"tessard_heap_ceiling_bytes", 3221225472.0},
        {R"(tessard_plugin_write_calls_total{plugin="recorder.so"})", 91000},
        {R"(tessard_plugin_write_calls_total{plugin="odd \"<name>\\.so"})", 7},
        {R"(tessard_plugin_held_bytes{plugin="recorder.so"})", 60000},
        {R"(tessard_plugin_messages_sent_total{plugin="recorder.so",outcome="no_memory"})", 2},
        {R"(tessard_plugin_call_max_seconds{plugin="recorder.so",entry="Write"})", 0.0025},
        {R"(tessard_plugin_call_p99_seconds{plugin="recorder.so",entry="Read"})", 4},
        {R"(tessard_plugin_call_duration_seconds_bucket{plugin="recorder.so",entry="Read",)"
         R"(le="0.524288"})", 0},
        {R"(tessard_plugin_call_duration_seconds_bucket{plugin="recorder.so",entry="Read",)"
         R"(le="1.048576"})", 1},
        {R"(tessard_plugin_call_duration_seconds_bucket{plugin="recorder.so",entry="Write",)"
         R"(le="0.000004"})", 112},
        {R"(tessard_plugin_call_duration_seconds_count{plugin="recorder.so",entry="Write"})",
         1406},
        {R"(tessard_unattributed_messages_total{outcome="accepted"})", 1}};
    for (const auto& [series, value] : expected) {
        EXPECT_EQ(figures.value(series), value) << series;
    }
    EXPECT_EQ(figures.value("tessard_heap_bytes"), std::nullopt);

    const HttpAnswer page = httpGet(port, "/");
    EXPECT_THAT(page.headers, HasSubstr("Content-Type: text/html"));
    EXPECT_THAT(page.body, HasSubstr("<meta http-equiv=\"refresh\" content=\"5\">"));
    EXPECT_THAT(page.body, Not(HasSubstr("://")));
    EXPECT_THAT(page.body, HasSubstr("91000 dispatched (100.0/s), 12 refused (0.0/s)"));
    EXPECT_THAT(page.body, HasSubstr("heap &ndash; of a 3.0 GiB ceiling"));
    EXPECT_THAT(page.body, HasSubstr("on: memory is low, the core throttles video"));
    EXPECT_THAT(page.body, HasSubstr("<td class=\"name\">recorder.so</td><td>0x7E550020</td>"
                                     "<td>91000 / 400</td><td>100.0/s</td>"
                                     "<td>48.8&nbsp;KiB/s</td>"));
    EXPECT_THAT(page.body, HasSubstr("<td>25</td><td>2.0/s</td><td>2</td>"));
    EXPECT_THAT(page.body, HasSubstr("odd &quot;&lt;name&gt;\\.so"));
    EXPECT_EQ(httpGet(port, "/elsewhere").status, 404);

    stop();
    EXPECT_EQ(httpGet(port, "/").status, 0) << "Close returned with the page still served";
}

// Catches: a plugin that fails to open, says nothing or repeats itself,
// or trips over the missing server in Write or Close, when its address
// cannot be bound (one no interface of this machine has).
TEST_F(MetricsPlugin, ReportsAnAddressItCannotBindOnceAndRunsOnWithoutThePage) {
    EXPECT_EQ(start("address = 192.0.2.1\n"),
              "metrics: cannot serve on 192.0.2.1 port 9475 (Cannot assign requested address); "
              "running without the page\n");
    testing::internal::CaptureStdout();
    deliver(kFirst);
    stop();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
