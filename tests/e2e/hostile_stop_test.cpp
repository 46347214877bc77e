// The stop sequence under misbehaving plugins, end to end: a steady flood
// that never lets the queue run dry, and plugins whose Close, Write or Read
// never return. The stop must end by itself, with status 0, name every
// plugin it gave up on, and leave no sanitizer finding.
//
// The plugins (test_plugins/hostile.c): the flooder counts the outcome of
// every send, the sink takes 2 ms for each event and counts them, the
// others hang where their names say.

#include <gtest/gtest.h>


#include "host_texts.h"
#include "hostile_plugins.h"
#include "server_dir.h"

namespace {

using namespace std::chrono_literals;

class HostileStop : public testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(dir.sanitizerReports(), ""); }

    void start() {
        Launch launch;
        launch.arguments = {"-d"};
        launch.environment = plugins.environment();
        server = dir.start("run", launch);
        ASSERT_TRUE(server->waitForOutput(kPromptText, 120s)) << server->errors();
    }

    // However long the plugins hang, the stop ends by itself: the bound is
    // generous for a loaded machine, not a speed figure.
    void stop() {
        server->writeInput("\n");
        ASSERT_EQ(server->wait(300s), 0) << server->errors();
        EXPECT_EQ(server->output(), std::string(kStartingText) + kPromptText + kStoppingText);
    }

    ServerDir dir;
    HostilePlugins plugins{dir};
    std::unique_ptr<ServerProcess> server;
};

// Faults 8 and 14: the stop delivered the whole backlog first and never
// ended while a flood went on, and a message accepted after the event
// handler had stopped was answered STATUS_OK and then silently discarded.
TEST_F(HostileStop, StopDiscardsTheBacklogAndRefusesWhatNobodyWouldSee) {
    // Without throttling the core sends no memory notices once it runs.
    writeFile(dir.bin() + "/core.xml", "<Zelt><Memory Throttling=\"0\" /></Zelt>");
    plugins.install("flooder");
    plugins.install("sink");
    start();
    // Both notices of the start (the plugin table and the memory setting)
    // have passed, so that what is queued at the stop is the flood alone.
    ASSERT_TRUE(eventually([&] { return plugins.count("sink", "notice") >= 2; }));
    plugins.set("flooder", "flood", "16");
    ASSERT_TRUE(eventually([&] {
        const long long delivered = field(plugins.last("sink", "delivered"), "n");
        return delivered > 100 && field(plugins.last("flooder", "sent"), "ok") > delivered + 2000;
    }));
    stop();

    const std::string sent = plugins.last("flooder", "final");
    const long long accepted = field(sent, "ok");
    const long long delivered = field(plugins.last("sink", "final"), "delivered");
    const std::string errors = server->errors();
    const std::vector<std::string> discards = linesWith(errors, " queued events were discarded at stop");
    ASSERT_EQ(discards.size(), 1u) << errors;
    const long long discarded = numberAt(discards[0], "", " queued events were discarded at stop");
    EXPECT_GT(field(sent, "stopping"), 0);
    EXPECT_EQ(field(sent, "late"), 0) << "accepted after a refusal for the stop";
    EXPECT_EQ(field(sent, "nomem") + field(sent, "other"), 0) << sent;
    // Every accepted event was either delivered or counted as discarded. A
    // core notice of a clock jump (a scheduler starved for over a second)
    // may be among the discarded ones.
    EXPECT_GE(delivered + discarded, accepted);
    EXPECT_LE(delivered + discarded, accepted + 3);
    EXPECT_GT(discarded, 1000) << "the backlog was delivered, not discarded";
}

// Faults 9 and 10: a Close that never returned hung the stop for ever and
// kept later plugins from being closed; a Write that never returned at the
// stop was named and then hung it anyway; a reader stuck in Read that kept
// sending reached the freed Core after the stop (AddressSanitizer saw it).
TEST_F(HostileStop, StopGoesOnWithoutPluginsThatNeverReturn) {
    for (const char* role : {"stuck_close", "stuck_write", "reader"}) plugins.install(role);
    plugins.set("reader", "stuck");
    start();
    ASSERT_TRUE(plugins.waitFor("stuck_write", "blocked"));
    ASSERT_TRUE(plugins.waitFor("reader", "answers"));
    stop();

    const std::string errors = server->errors();
    const std::string goesOn = " seconds; the stop goes on without it and leaves its library loaded";
    const std::string inWrite = "plugin stuck_write.so has been in Write for ";
    const std::vector<std::string> writes = linesWith(errors, inWrite);
    ASSERT_EQ(writes.size(), 2u) << errors;
    EXPECT_NE(writes[0].find(inWrite + "10 seconds; the stop closes the plugins without waiting for it"),
              std::string::npos);
    EXPECT_GE(numberAt(writes[1], inWrite), 20);
    EXPECT_NE(writes[1].find(goesOn), std::string::npos);
    EXPECT_NE(errors.find("plugin stuck_close.so has been in Close for 10" + goesOn),
              std::string::npos);
    const std::vector<std::string> reads = linesWith(errors, "plugin reader.so has been in Read for ");
    ASSERT_EQ(reads.size(), 1u) << errors;
    EXPECT_GE(numberAt(reads[0], "", goesOn), 0) << reads[0];
    EXPECT_EQ(errors.find("Internal ["), std::string::npos);

    // The plugin closed after the stuck one was still closed and unloaded;
    // the stuck one got no Unload.
    EXPECT_EQ(dir.calls("run").entries(), kFullLifeCycle);
    EXPECT_EQ(plugins.count("stuck_close", "unload"), 0u);
    EXPECT_EQ(plugins.count("reader", "unload"), 1u);
    // The reader kept sending through the stop and after its Unload, and
    // was refused every time once the stop had begun.
    const std::string answers = plugins.last("reader", "answers");
    EXPECT_GE(field(answers, "ok"), 1);
    EXPECT_GT(field(answers, "stopping") + field(answers, "cancelled"), 0);
    EXPECT_EQ(field(answers, "late") + field(answers, "other"), 0) << answers;
    EXPECT_GT(field(answers, "afterUnload"), 0) << answers;
}

}  // namespace
