// The flow through the core as the housekeeping thread reports it: the
// statistics document a subscribed plugin receives, and slow plugin calls
// named in the log while they run and when they return.

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <sstream>
#include <string>

#include "bus_harness.h"
#include "log_capture.h"
#include "monitor/flow_reports.h"

namespace {

using namespace bus_harness;

constexpr std::uint64_t kSenderId = 0x71;
constexpr std::uint64_t kKeeperId = 0x72;
constexpr std::uint64_t kWatcherId = 0x73;
constexpr std::uint64_t kNoticesId = 0x74;
constexpr std::uint64_t kType = 0x4000101;

// The child of `parent` named `name` whose attribute `key` is `value`.
const TiXmlElement* childWith(const TiXmlElement* parent, const char* name, const char* key,
                              const std::string& value) {
    for (const TiXmlElement* child = parent->FirstChildElement(name); child != nullptr;
         child = child->NextSiblingElement(name)) {
        const char* found = child->Attribute(key);
        if (found != nullptr && value == found) return child;
    }
    return nullptr;
}

std::string attribute(const TiXmlElement* element, const char* name) {
    const char* value = element != nullptr ? element->Attribute(name) : nullptr;
    return value != nullptr ? value : "<none>";
}

class FlowReportsTest : public MessagePathTest {};

// Catches counters that miss or double a delivery, bytes or holds counted
// for the wrong plugin, streams of one plugin not attributed to it,
// refusals lost, a histogram that disagrees with its own sample count, and
// a statistics notice that reaches plugins which only take the core's other
// notices.
TEST_F(FlowReportsTest, StatisticsCountAScriptedRunExactlyAndReachOnlyTheirSubscribers) {
    ProbeControl& sender = addProbe("sender.so", pluginInfo(kSenderId));
    ProbeControl& keeper = addProbe("keeper.so", writerOn(kKeeperId, 1));
    keeper.behaviour.retainWrites = true;
    ProbeControl& watcher = addProbe(
        "watcher.so", writerOn(kWatcherId, 7, tessardDeliveryKey(MSG_TYPE_STATISTICS)));
    // Takes the memory state and every text notice, on any selection.
    ProbeControl& notices = addProbe(
        "notices.so",
        infoWithMasks(kNoticesId, tessardDeliveryKey(MSG_TYPE_XML) | tessardDeliveryKey(MSG_TYPE_TEXT),
                      true));
    load();

    const std::string payload = "ten bytes!";
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(sender.send(message(kSenderId, MSG_SELECT_1, kType, &payload)), STATUS_OK);
    }
    const std::uint64_t secondStream = (UINT64_C(7) << 32) | kSenderId;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sender.send(message(secondStream, MSG_SELECT_1, kType, &payload)), STATUS_OK);
    }
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(sender.send(message(0x99, MSG_SELECT_1, kType, &payload)), STATUS_OK);
    }
    CoreMessage oversized = message(kSenderId, MSG_SELECT_1, kType, &payload);
    oversized.length = CORE_MAX_PAYLOAD + 1;
    ASSERT_EQ(sender.send(oversized), STATUS_NO_MEMORY);
    dispatch();

    const auto reports = core->monitor().makeFlowReports();
    reports->pass(Clock::now() + FlowReports::kStatisticsInterval);
    dispatch();
    EXPECT_TRUE(writesOfType(notices, MSG_TYPE_STATISTICS).empty());
    const std::vector<ProbeCall> received = writesOfType(watcher, MSG_TYPE_STATISTICS);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].write.source, CORE_ID);
    EXPECT_EQ(received[0].write.flags, MSG_SELECT_7);

    TiXmlDocument document;
    document.Parse(received[0].payload.c_str());
    ASSERT_FALSE(document.Error()) << received[0].payload;
    const TiXmlElement* statistics = document.RootElement()->FirstChildElement("Statistics");
    ASSERT_NE(statistics, nullptr) << received[0].payload;
    EXPECT_EQ(attribute(statistics, "Interval"), "10");

    const TiXmlElement* server = statistics->FirstChildElement("Server");
    // The plugin table at load, then 105 events; the refused one never queued.
    EXPECT_EQ(attribute(server, "EventsDispatched"), "106");
    EXPECT_EQ(attribute(server, "EventsRefused"), "1");
    EXPECT_EQ(attribute(server, "QueueDepth"), "0");
    EXPECT_EQ(attribute(server, "QueueHighWater"), "105");
    EXPECT_EQ(attribute(server, "PayloadBytesHeld"), "1050");
    // The plugin table, and this document.
    EXPECT_EQ(attribute(server, "NoticesSent"), "2");
    EXPECT_EQ(attribute(server, "Plugins"), "4");

    const TiXmlElement* kept = childWith(statistics, "Plugin", "Filename", "keeper.so");
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(attribute(kept, "ID"), std::to_string(kKeeperId));
    EXPECT_EQ(attribute(kept, "WriteCalls"), "105");
    EXPECT_EQ(attribute(kept, "WriteBytes"), "1050");
    EXPECT_EQ(attribute(kept, "IoctlCalls"), "1");
    EXPECT_EQ(attribute(kept, "Holds"), "105");
    EXPECT_EQ(attribute(kept, "HeldBytes"), "1050");
    const TiXmlElement* writes = childWith(kept, "Calls", "Entry", "Write");
    EXPECT_EQ(attribute(writes, "Count"), "105");
    const long long sampled = std::stoll(attribute(writes, "Sampled"));
    EXPECT_GE(sampled, 1);
    EXPECT_LT(sampled, 105) << "every delivery was timed";
    std::istringstream buckets(attribute(writes, "Buckets"));
    long long inBuckets = 0;
    int bucketCount = 0;
    for (long long count; buckets >> count; ++bucketCount) inBuckets += count;
    EXPECT_EQ(bucketCount, CallTimes::kBuckets);
    EXPECT_EQ(inBuckets, sampled);

    const TiXmlElement* sent =
        childWith(statistics, "Plugin", "Filename", "sender.so")->FirstChildElement("Sent");
    EXPECT_EQ(attribute(sent, "Accepted"), "103");
    EXPECT_EQ(attribute(sent, "NoMemory"), "1");
    EXPECT_EQ(attribute(statistics->FirstChildElement("Unattributed"), "Accepted"), "2");
}

// Catches a slow call that goes unnamed, is named more than once, or whose
// end is never told, for the event handler's Write and for a Read worker.
TEST_F(FlowReportsTest, SlowCallsAreNamedOnceWhileTheyRunAndAgainWhenTheyReturn) {
    Gate letGo;
    ProbeControl& slow = addProbe("slow.so", writerOn(kKeeperId, 1));
    slow.behaviour.onWrite = [&](ProbeControl&, const WriteRequest&) { letGo.wait(kPatience * 6); };
    ProbeControl& reader = addProbe("reader.so", readerOn(kWatcherId, 1));
    reader.behaviour.onRead = [&](ProbeControl&, const ReadRequest& request) {
        if (request.handle != 0) letGo.wait(kPatience * 6);
    };
    LogCapture log;
    start();
    const std::string payload = "x";
    ASSERT_EQ(route(message(kSenderId, MSG_SELECT_1, kType, &payload)), STATUS_OK);
    ASSERT_EQ(route(readRequest(0x51, MSG_SELECT_1, kType)), STATUS_OK);

    const auto named = [&](const std::string& text) {
        return waitUntil([&] { return log.countContaining(text) > 0; }, kPatience * 6);
    };
    EXPECT_TRUE(named("plugin slow.so has been in Write for 2 seconds"));
    EXPECT_TRUE(named("plugin reader.so has been in Read for 2 seconds"));
    letGo.open();
    EXPECT_TRUE(named("plugin slow.so returned from Write after"));
    EXPECT_TRUE(named("plugin reader.so returned from Read after"));
    EXPECT_EQ(log.countContaining("plugin slow.so has been in Write"), 1u);
    EXPECT_EQ(log.countContaining("plugin reader.so has been in Read"), 1u);
}

}  // namespace
