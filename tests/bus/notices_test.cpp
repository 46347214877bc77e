// The core's own notices, as the router queues them and as plugins receive
// them: an XML document printed on one line after an empty declaration, or a
// line of text, from CORE_ID, never refused.

#include "app/core.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <memory>

#include "bus/notice_document.h"
#include "bus_harness.h"

namespace {

using namespace bus_harness;

constexpr std::uint64_t kListenerId = 0xE1;

class Notices : public MessagePathTest {
protected:
    // A plugin that takes every event through Write, and one that takes only
    // those selected by anything but MSG_SELECT_6.
    void loadListeners() {
        listener = &addProbe("listener.so", infoWithMasks(kListenerId, UINT64_MAX, true));
        PluginInfo notSix = infoWithMasks(kListenerId + 1, UINT64_MAX, true);
        notSix.eventMasks[6] = 0;
        allButSix = &addProbe("all_but_six.so", notSix);
        load();
    }

    // Takes the one event the notice queued off the queue, as the event
    // handler would; its payload copy becomes the test's to free.
    CoreMessage takeQueued() {
        CoreMessage event{};
        EXPECT_TRUE(core->router().events().pop(event)) << "nothing was queued";
        EXPECT_TRUE(core->router().events().empty()) << "more than one event was queued";
        return event;
    }

    void freePayload(const CoreMessage& event) {
        allocator.release(const_cast<void*>(event.payload));
    }

    ProbeControl* listener = nullptr;
    ProbeControl* allButSix = nullptr;
};

// The memory state document: one element about the core itself.
std::unique_ptr<TiXmlDocument> memoryDocument() {
    auto document = std::make_unique<TiXmlDocument>();
    TiXmlElement* root = addNoticeRoot(*document);
    auto* memory = static_cast<TiXmlElement*>(root->LinkEndChild(new TiXmlElement("Memory")));
    memory->SetAttribute("ID", asSigned32(CORE_ID));
    memory->SetAttribute("Throttling", 1);
    return document;
}

bool allZero(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

TEST_F(Notices, XmlIsOneLineAfterTheEmptyDeclaration) {
    loadListeners();
    const std::uint64_t flags = MSG_SELECT_2 | MSG_SELECT_7;
    core->sendXml(*memoryDocument(), flags);

    const CoreMessage event = takeQueued();
    EXPECT_EQ(event.size, 224u);
    EXPECT_EQ(event.version, 1u);
    EXPECT_EQ(event.source, CORE_ID);
    EXPECT_EQ(event.handle, 0u);
    EXPECT_EQ(event.flags, flags);
    EXPECT_EQ(event.type, MSG_TYPE_XML);
    EXPECT_TRUE(allZero(event.extra, sizeof event.extra));
    ASSERT_NE(event.payload, nullptr);
    const std::string printed(static_cast<const char*>(event.payload), event.length);
    EXPECT_EQ(printed,
              "<?xml ?><Zelt><Memory ID=\"-2147483648\" Throttling=\"1\" /></Zelt>");
    EXPECT_EQ(printed.find('\n'), std::string::npos);
    EXPECT_EQ(printed.find('\0'), std::string::npos) << "the length counts a terminator";
    freePayload(event);
}

TEST_F(Notices, XmlReachesPluginsAsSentWithTheGivenFlags) {
    loadListeners();
    core->sendXml(*memoryDocument(), MSG_SELECT_2);
    core->sendXml(*memoryDocument(), MSG_TO_OTHERS);
    dispatch();

    const std::vector<ProbeCall> writes = writesOfType(*listener, MSG_TYPE_XML);
    ASSERT_EQ(writes.size(), 1u);
    const WriteRequest& seen = writes[0].write;
    EXPECT_EQ(seen.source, CORE_ID);
    EXPECT_EQ(seen.flags, MSG_SELECT_2);
    EXPECT_EQ(writes[0].payload.rfind("<?xml ?><Zelt>", 0), 0u) << writes[0].payload;
    EXPECT_EQ(seen.length, writes[0].payload.size());
    // The same document by broadcast, with the same bytes.
    EXPECT_EQ(ioctlsCarrying(*listener, writes[0].payload).size(), 1u);
    EXPECT_EQ(ioctlsCarrying(*allButSix, writes[0].payload).size(), 1u);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

TEST_F(Notices, TextGoesToMaskSixAsText) {
    loadListeners();
    const std::string line = "system time changed by 42 seconds";
    core->sendText(line);

    const CoreMessage event = takeQueued();
    EXPECT_EQ(event.size, 224u);
    EXPECT_EQ(event.version, 1u);
    EXPECT_EQ(event.source, CORE_ID);
    EXPECT_EQ(event.handle, 0u);
    EXPECT_EQ(event.flags, MSG_SELECT_6);
    EXPECT_EQ(event.type, MSG_TYPE_TEXT);
    EXPECT_TRUE(allZero(event.extra, sizeof event.extra));
    EXPECT_EQ(event.length, line.size());
    ASSERT_NE(event.payload, nullptr);
    EXPECT_NE(event.payload, line.data()) << "the caller's text was queued, not a copy";
    EXPECT_EQ(std::string(static_cast<const char*>(event.payload), event.length), line);
    freePayload(event);

    core->sendText(line);
    dispatch();
    const std::vector<ProbeCall> writes = writesOfType(*listener, MSG_TYPE_TEXT);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].payload, line);
    EXPECT_EQ(writesOfType(*allButSix, MSG_TYPE_TEXT).size(), 0u);
}

TEST_F(Notices, EmptyTextIsQueuedWithoutPayload) {
    loadListeners();
    const long copiesBefore = allocator.totalBlocks();
    core->sendText("");

    const CoreMessage event = takeQueued();
    EXPECT_EQ(event.payload, nullptr);
    EXPECT_EQ(event.length, 0u);
    EXPECT_EQ(allocator.totalBlocks(), copiesBefore);

    core->sendText("");
    dispatch();
    const std::vector<ProbeCall> writes = writesOfType(*listener, MSG_TYPE_TEXT);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].write.payload, nullptr);
    EXPECT_EQ(writes[0].write.length, 0u);
}

TEST_F(Notices, AcceptedWhileThrottling) {
    loadListeners();
    core->monitor().throttlingSwitch() = true;
    core->sendText("available system memory is low, throttling video");
    core->sendXml(*memoryDocument(), MSG_SELECT_2);
    dispatch();
    core->monitor().throttlingSwitch() = false;
    const std::vector<ProbeCall> texts = writesOfType(*listener, MSG_TYPE_TEXT);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].payload, "available system memory is low, throttling video");
    EXPECT_EQ(writesOfType(*listener, MSG_TYPE_XML).size(), 1u);
}

}  // namespace
