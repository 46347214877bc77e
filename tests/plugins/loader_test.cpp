// Plugin discovery and loading, and the Open pass: real plugin libraries in a
// real plugins directory, loaded by the real loader into a real Core.
//
// The directory's listing order is whatever the file system returns, so the
// tests read it with readdir and hold the table against it. Whether a library
// is still mapped is asked of the dynamic linker itself.

#include "plugins/plugin_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "app/core.h"
#include "counting_allocator.h"
#include "library_state.h"
#include "log_capture.h"
#include "messages.h"
#include "plugin_folder.h"
#include "probe_registry.h"
#include "table_view.h"

namespace {

using Names = std::vector<std::string>;

// How long a test waits for what must happen; generous, because the
// machine may be busy, and only a failing test waits that long.
constexpr std::chrono::seconds kPatience{60};
constexpr std::uint64_t kTestType = 0x42;
constexpr std::uint64_t kMarkerType = 0x43;
// MSG_TYPE_TEXT as the event handler folds it for matching: the class bits
// move up one place.
constexpr std::uint64_t kTextDeliveryKey = 0x2000002;

bool hasRecord(LogCapture& log, wxLogLevel level, const std::string& text) {
    for (const CapturedRecord& record : log.records()) {
        if (record.level == level && record.text == text) return true;
    }
    return false;
}

bool hasRecordStarting(LogCapture& log, wxLogLevel level, const std::string& prefix) {
    for (const CapturedRecord& record : log.records()) {
        if (record.level == level && record.text.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

std::uint64_t orderOf(ProbeControl& probe, ProbeEntry entry) {
    const std::vector<ProbeCall> calls = probe.callsOf(entry);
    return calls.empty() ? 0 : calls.front().order;
}

class Loader : public testing::Test {
protected:
    void TearDown() override {
        core.stop();
        forgetProbes();
    }

    // Installs a copy of the probe as `fileName`, declaring `id`.
    ProbeControl& probe(const std::string& fileName, std::uint64_t id) {
        ProbeControl& control = probeNamed(fileName);
        control.behaviour.info = pluginInfo(id);
        folder.install("probe", fileName);
        return control;
    }

    std::string pathOf(const std::string& fileName) const {
        return folder.pluginsDir() + "/" + fileName;
    }

    // The table's entry for `fileName`; a failure, and an empty record, when
    // the table lacks it.
    PluginRecord entryOf(const std::string& fileName) const {
        std::optional<PluginRecord> entry = tableEntry(core, fileName);
        if (entry) return *entry;
        ADD_FAILURE() << fileName << " is not in the table";
        return PluginRecord{};
    }

    Names listed(const Names& fileNames) const {
        return inListingOrder(folder.pluginsDir(), fileNames);
    }

    PluginFolder folder;
    WorkingDirectory cwd{folder.root()};
    CountingAllocator allocator;
    LogCapture log;
    Core core{folder.exePath(), allocator};
};

// On the usual file systems these names are listed neither in the order
// they are made nor sorted.
TEST_F(Loader, TableFollowsTheDirectoryListing) {
    const Names files{"one.so", "two.so", "three.so", "four.so", "five.so"};
    std::uint64_t id = 0x100;
    for (const std::string& file : files) probe(file, id++);
    EXPECT_TRUE(core.plugins().loadPlugins());
    EXPECT_EQ(tableNames(core), listed(files));
}

// Mixed ids, so that neither order of a table sorted by id would pass.
TEST_F(Loader, FirstIdListedLaterHeadsTheTable) {
    const Names files{"one.so", "two.so", "three.so", "four.so"};
    for (const std::string& file : files) probe(file, 0);
    const Names order = listed(files);
    probeNamed(order[0]).behaviour.info = pluginInfo(0x800);
    probeNamed(order[1]).behaviour.info = pluginInfo(0x900);
    probeNamed(order[2]).behaviour.info = pluginInfo(0x700);
    probeNamed(order[3]).behaviour.info = pluginInfo(0x60000);
    core.plugins().loadPlugins();
    EXPECT_EQ(tableNames(core), (Names{order[3], order[0], order[1], order[2]}));
}

TEST_F(Loader, FirstIdListedFirstIsSimplyFirst) {
    const Names files{"one.so", "two.so", "three.so"};
    for (const std::string& file : files) probe(file, 0);
    const Names order = listed(files);
    probeNamed(order[0]).behaviour.info = pluginInfo(0x60000);
    probeNamed(order[1]).behaviour.info = pluginInfo(0x900);
    probeNamed(order[2]).behaviour.info = pluginInfo(0x700);
    core.plugins().loadPlugins();
    EXPECT_EQ(tableNames(core), order);
}

// The second of two plugins with one id has run its Load, which may have
// started threads in its code: it is left mapped and never called again.
TEST_F(Loader, DuplicateIdKeepsTheFirstListedAndLeavesTheSecondMapped) {
    probe("twin_a.so", 0x42);
    probe("twin_b.so", 0x42);
    probe("wide_a.so", 0x1000000AB);
    probe("wide_b.so", 0x1000000AB);
    const Names twins = listed({"twin_a.so", "twin_b.so"});
    const Names wides = listed({"wide_a.so", "wide_b.so"});
    ProbeControl& accepted = probeNamed(twins[0]);
    core.start();
    EXPECT_EQ(tableNames(core), listed({twins[0], wides[0]}));
    // The status notice has then walked the whole table.
    EXPECT_TRUE(accepted.waitFor(ProbeEntry::Ioctl, 1, kPatience));
    core.stop();

    EXPECT_TRUE(failedNames(core).empty());
    EXPECT_TRUE(
        hasRecord(log, wxLOG_Warning, "plugin " + twins[1] + " ID 0x00000042 already loaded"));
    EXPECT_TRUE(
        hasRecord(log, wxLOG_Warning, "plugin " + wides[1] + " ID 0x1000000AB already loaded"));
    for (const std::string& second : {twins[1], wides[1]}) {
        const std::vector<ProbeCall> calls = probeNamed(second).calls();
        ASSERT_EQ(calls.size(), 1u) << second;
        EXPECT_EQ(calls[0].entry, ProbeEntry::Load);
        EXPECT_TRUE(isMapped(pathOf(second))) << second;
    }
    for (const std::string& first : {twins[0], wides[0]}) {
        EXPECT_EQ(probeNamed(first).count(ProbeEntry::Open), 1u) << first;
        EXPECT_EQ(probeNamed(first).count(ProbeEntry::Close), 1u) << first;
        EXPECT_EQ(probeNamed(first).count(ProbeEntry::Unload), 1u) << first;
        EXPECT_FALSE(isMapped(pathOf(first))) << first;
    }
}

// The core's own id stands for its hold on every payload it hands out: a
// plugin under that id could end the core's hold and free a payload that is
// still being handed out. It is refused like a taken id.
TEST_F(Loader, PluginUsingTheCoresIdIsRefused) {
    probe("impostor.so", CORE_ID);
    probe("honest.so", 0x61);
    core.plugins().loadPlugins();
    EXPECT_EQ(tableNames(core), Names{"honest.so"});
    EXPECT_TRUE(failedNames(core).empty());
    EXPECT_TRUE(hasRecord(log, wxLOG_Error,
                          "plugin impostor.so uses the core's own ID 0x80000000; it is not loaded"));
    const std::vector<ProbeCall> calls = probeNamed("impostor.so").calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].entry, ProbeEntry::Load);
    EXPECT_TRUE(isMapped(pathOf("impostor.so"))) << "its Load may have started threads";
}

// A plugin may start threads in Load before it refuses itself; unmapping
// its library under them would crash the server at every start.
TEST_F(Loader, PluginRejectingItselfIsNotListedAndStaysMapped) {
    probe("refuses.so", 0x51).behaviour.loadResult = -3;
    probe("reports.so", 0x52).behaviour.info.loadError = 9;
    probe("accepted.so", 0x53);
    core.plugins().loadPlugins();
    EXPECT_EQ(tableNames(core), Names{"accepted.so"});
    EXPECT_TRUE(failedNames(core).empty());
    EXPECT_TRUE(hasRecord(log, wxLOG_Error, "plugin refuses.so load returned -3 error 0"));
    EXPECT_TRUE(hasRecord(log, wxLOG_Error, "plugin reports.so load returned 0 error 9"));
    EXPECT_TRUE(isMapped(pathOf("refuses.so")));
    EXPECT_TRUE(isMapped(pathOf("reports.so")));
    EXPECT_TRUE(isMapped(pathOf("accepted.so")));

    core.plugins().openPlugins();
    core.stop();
    EXPECT_EQ(probeNamed("refuses.so").calls().size(), 1u);
    EXPECT_EQ(probeNamed("reports.so").calls().size(), 1u);
    EXPECT_EQ(probeNamed("accepted.so").count(ProbeEntry::Unload), 1u);
}

TEST_F(Loader, LibraryWithoutLoadLeavesOnlyTheToolkitsLine) {
    folder.install("no_load", "no_load.so");
    EXPECT_TRUE(core.plugins().loadPlugins());
    EXPECT_EQ(core.plugins().size(), 0u);
    EXPECT_TRUE(failedNames(core).empty());
    EXPECT_TRUE(core.router().events().empty()) << "a notice was sent for it";
    EXPECT_FALSE(isMapped(pathOf("no_load.so")));
    const std::vector<CapturedRecord> records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, static_cast<wxLogLevel>(wxLOG_Error));
    EXPECT_EQ(records[0].text.rfind("Couldn't find symbol 'Load' in a dynamic library: ", 0), 0u)
        << records[0].text;
    EXPECT_NE(records[0].text.find("no_load.so"), std::string::npos) << records[0].text;
}

// Libraries the dynamic linker cannot open are remembered for the status
// document and announced by a text notice, which reaches a plugin whose
// entry 6 covers the text type's key, and no plugin without entry 6.
TEST_F(Loader, UnopenableLibrariesAreRecordedAndAnnounced) {
    folder.writePlugin("x.so", "this is a text file, not a library\n");
    folder.install("needs_absent_library", "needs_absent_library.so");
    ProbeControl& listener = probe("listener.so", 0x61);
    listener.behaviour.info.writeEvents = 1;
    listener.behaviour.info.eventMasks[6] = kTextDeliveryKey;
    ProbeControl& deaf = probe("deaf.so", 0x62);
    deaf.behaviour.info.writeEvents = 1;
    for (int entry = 0; entry < 9; ++entry) {
        deaf.behaviour.info.eventMasks[entry] = entry == 6 ? 0 : UINT64_MAX;
    }
    core.start();
    EXPECT_TRUE(listener.waitFor(ProbeEntry::Write, 2, kPatience));
    core.stop();

    const Names failed = listed({"x.so", "needs_absent_library.so"});
    EXPECT_EQ(failedNames(core), failed);
    Names texts;
    for (const ProbeCall& call : listener.callsOf(ProbeEntry::Write)) {
        EXPECT_EQ(call.write.source, CORE_ID);
        EXPECT_EQ(call.write.flags, MSG_SELECT_6);
        EXPECT_EQ(call.write.type, MSG_TYPE_TEXT);
        EXPECT_GT(call.order, orderOf(listener, ProbeEntry::Open));
        texts.push_back(call.payload);
    }
    EXPECT_EQ(texts, (Names{"Failed to load plugin: " + failed[0] + " (missing dependency)",
                            "Failed to load plugin: " + failed[1] + " (missing dependency)"}));
    // The scheduler's XML notices may reach it; no text may.
    for (const ProbeCall& call : deaf.callsOf(ProbeEntry::Write)) {
        EXPECT_NE(call.write.type, MSG_TYPE_TEXT) << call.payload;
    }
    for (const std::string& name : failed) {
        EXPECT_TRUE(hasRecordStarting(log, wxLOG_Error,
                                      "Failed to load shared library '" + pathOf(name) + "': "))
            << name;
    }
}

// A plugin file cut short would map without complaint and kill the server
// with SIGBUS on the first read past its end. It is refused before the
// dynamic loader sees it, and counted, told and listed like any library that
// cannot be opened; the plugins around it load as usual.
TEST_F(Loader, LibraryCutShortIsRefusedBeforeTheDynamicLoaderMapsIt) {
    const std::string whole = readFile(testPluginPath("hard_named"));
    folder.install("hard_named", "whole.so");
    folder.writePlugin("cut.so", whole.substr(0, whole.size() / 2));
    core.start();
    EXPECT_EQ(tableNames(core), Names{"whole.so"});
    EXPECT_EQ(failedNames(core), Names{"cut.so"});
    EXPECT_TRUE(hasRecord(log, wxLOG_Error,
                          "plugin " + pathOf("cut.so") +
                              " is cut short: its headers reach beyond its end; it is not loaded"));
    EXPECT_NE(readFile(folder / "plugins.xml").find("Filename=\"cut.so\" Opened=\"1\" OpenCode=\"79\""),
              std::string::npos);
}

TEST_F(Loader, HiddenFilesAndDirectoriesAreNotTried) {
    probe(".x.so", 0x71);
    std::filesystem::create_directory(folder.pluginsDir() + "/d.so");
    probe("seen.so", 0x72);
    core.plugins().loadPlugins();
    EXPECT_EQ(tableNames(core), Names{"seen.so"});
    EXPECT_EQ(probeNamed(".x.so").count(ProbeEntry::Load), 0u);
    EXPECT_TRUE(failedNames(core).empty());
    for (const CapturedRecord& record : log.records()) ADD_FAILURE() << record.text;
}

TEST_F(Loader, IdsDifferingOnlyAboveBit31AreBothAccepted) {
    probe("low.so", 0x42);
    probe("high.so", 0x100000042);
    probe("highest.so", 0x8000000000000042);
    core.plugins().loadPlugins();
    std::set<std::uint64_t> ids;
    const PluginTable::Snapshot table = core.plugins().snapshot();
    for (const PluginRecord& plugin : *table) ids.insert(plugin.info.id);
    EXPECT_EQ(ids, (std::set<std::uint64_t>{0x42, 0x100000042, 0x8000000000000042}));
    EXPECT_EQ(log.countContaining("already loaded"), 0u);
}

// load_only.so asks for load-time IOCTL, Read workers and Writes and has all
// masks set, yet exports none of them: each kind of call is driven past it
// while a full probe beside it shows that the call did happen.
TEST_F(Loader, LibraryExportingOnlyLoadIsAcceptedAndNeverCalledThroughNull) {
    folder.install("load_only", "load_only.so");
    ProbeControl& witness = probe("witness.so", 0x81);
    witness.behaviour.info.writeEvents = 1;
    witness.behaviour.info.readPolling = 1;
    witness.behaviour.info.ioctlOnLoad = 1;
    witness.behaviour.info.eventMasks[1] = UINT64_MAX;
    core.start();
    const std::optional<PluginRecord> only = tableEntry(core, "load_only.so");
    ASSERT_TRUE(only.has_value());
    EXPECT_EQ(only->info.id, 0x10ADu);
    const PluginEntryPoints& entries = only->entryPoints;
    EXPECT_NE(entries.Load, nullptr);
    for (PluginEntryPoint absent : {entries.Unload, entries.Open, entries.Close, entries.Read,
                                    entries.Write, entries.Seek, entries.IOCTL}) {
        EXPECT_EQ(absent, nullptr);
    }
    EXPECT_TRUE(hasRecord(log, wxLOG_Warning,
                          "plugin load_only.so does not export Unload, Open, Close, Read, Write, "
                          "IOCTL; the core skips those calls"));

    const std::string frame = "frame";
    EXPECT_EQ(witness.send(message(0x81, MSG_SELECT_1, kTestType, &frame)), STATUS_OK);
    EXPECT_EQ(witness.send(message(0x999, MSG_TO_OTHERS, kTestType, &frame)), STATUS_OK);
    EXPECT_EQ(witness.send(message(0x81, MSG_TO_ALL, kTestType, &frame)), STATUS_OK);
    CoreMessage request = message(0, MSG_SELECT_1, kTestType, &frame);
    EXPECT_EQ(witness.send(request), STATUS_OK);
    request.handle = 0x77;
    EXPECT_EQ(witness.send(request), STATUS_OK);
    EXPECT_EQ(witness.send(message(0x81, MSG_SELECT_1, kMarkerType)), STATUS_OK);
    // Events are walked over the whole table one after the other, so once
    // the marker arrives every event before it has passed load_only.so. The
    // Reads are the scheduler's start-up Read and the two requests.
    EXPECT_TRUE(witness.waitFor(ProbeEntry::Write, 2, kPatience));
    EXPECT_TRUE(witness.waitFor(ProbeEntry::Read, 3, kPatience));
    core.stop();

    std::multiset<std::uint32_t> frameCodes;
    std::size_t onLoad = 0;
    for (const ProbeCall& call : witness.callsOf(ProbeEntry::Ioctl)) {
        if (call.payload == frame) frameCodes.insert(call.ioctl.code);
        onLoad += call.ioctl.code == IOCTL_ON_LOAD ? 1 : 0;
    }
    EXPECT_EQ(frameCodes, (std::multiset<std::uint32_t>{IOCTL_TO_OTHERS, IOCTL_TO_ALL}));
    EXPECT_EQ(onLoad, 1u);
    std::multiset<std::uint64_t> readHandles;
    for (const ProbeCall& call : witness.callsOf(ProbeEntry::Read)) {
        if (call.payload == frame) readHandles.insert(call.read.handle);
    }
    EXPECT_EQ(readHandles, (std::multiset<std::uint64_t>{0, 0x77}));
    EXPECT_EQ(witness.count(ProbeEntry::Unload), 1u);
    EXPECT_EQ(log.countContaining("does not export"), 1u);
    EXPECT_EQ(log.countContaining("Couldn't find symbol"), 0u);
    EXPECT_FALSE(isMapped(pathOf("load_only.so")));
}

TEST_F(Loader, PluginInfoIsKeptAsThePluginLeftIt) {
    PluginInfo wanted = pluginInfo(0x1234);
    wanted.size = 200;
    wanted.version = 9;
    for (int entry = 0; entry < 9; ++entry) {
        wanted.eventMasks[entry] = UINT64_C(0x0101010101010101) * static_cast<unsigned>(entry + 1);
    }
    wanted.reserved0 = 0xDEADBEEF;
    wanted.reserved1 = 7;
    wanted.writeEvents = 1;
    wanted.reserved2 = 0x55;
    wanted.reserved3 = 0x66;
    ProbeControl& odd = probe("odd.so", 0);
    odd.behaviour.info = wanted;
    core.plugins().loadPlugins();
    const std::optional<PluginRecord> entry = tableEntry(core, "odd.so");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(std::memcmp(&entry->info, &wanted, sizeof wanted), 0);

    PluginInfo fresh = pluginInfo(0);
    fresh.size = 112;
    fresh.version = 1;
    const ProbeCall load = odd.callsOf(ProbeEntry::Load).at(0);
    EXPECT_EQ(std::memcmp(&load.infoOnEntry, &fresh, sizeof fresh), 0)
        << "Load did not get a zero-filled block with its header set";
}

TEST_F(Loader, LoadGetsItsContextAndACallbackThatAlreadyRoutes) {
    ProbeControl& caller = probe("caller.so", 0x91);
    const std::string hello = "hello from Load";
    std::int32_t statusInLoad = -2;
    caller.behaviour.onLoad = [&](ProbeControl& self) {
        statusInLoad = self.send(message(0x91, MSG_SELECT_1, kTestType, &hello));
    };
    core.plugins().loadPlugins();
    const ProbeCall load = caller.callsOf(ProbeEntry::Load).at(0);
    EXPECT_EQ(load.load.size, 24u);
    EXPECT_EQ(load.load.version, 3u);
    EXPECT_EQ(load.load.coreHandle, &core);
    EXPECT_EQ(load.load.callback, &coreCallback);
    EXPECT_EQ(statusInLoad, STATUS_OK);

    const EventQueue::Batch queued = core.router().events().takeAll();
    ASSERT_EQ(queued.size(), 1u);
    const CoreMessage& event = queued.front();
    EXPECT_EQ(event.source, 0x91u);
    ASSERT_NE(event.payload, nullptr);
    EXPECT_NE(event.payload, static_cast<const void*>(hello.data()));
    EXPECT_EQ(std::string(static_cast<const char*>(event.payload), event.length), hello);
    allocator.release(const_cast<void*>(event.payload));
}

TEST_F(Loader, LoadTimeIoctlRunsOnceOnAWorkerWhenAsked) {
    probe("asks.so", 0xA1).behaviour.info.ioctlOnLoad = 1;
    ProbeControl& asks = probeNamed("asks.so");
    ProbeControl& quiet = probe("quiet.so", 0xA2);
    core.plugins().loadPlugins();
    EXPECT_NE(entryOf("asks.so").ioctlWorker, nullptr);
    EXPECT_EQ(entryOf("quiet.so").ioctlWorker, nullptr);
    EXPECT_TRUE(asks.waitFor(ProbeEntry::Ioctl, 1, kPatience));
    // The stop waits for every worker that was started, so nothing is late.
    core.stop();

    const std::vector<ProbeCall> calls = asks.callsOf(ProbeEntry::Ioctl);
    ASSERT_EQ(calls.size(), 1u);
    const IoctlRequest& request = calls[0].ioctl;
    EXPECT_EQ(request.size, 40u);
    EXPECT_EQ(request.version, 1u);
    EXPECT_EQ(request.code, static_cast<std::uint32_t>(IOCTL_ON_LOAD));
    EXPECT_EQ(request.payloadRef.size, 8u);
    EXPECT_EQ(request.payloadRef.version, 1u);
    EXPECT_EQ(request.payloadRef.length, 0u);
    EXPECT_EQ(request.payloadRef.payload, nullptr);
    EXPECT_FALSE(pthread_equal(calls[0].thread, pthread_self())) << "IOCTL ran on the loader";
    EXPECT_EQ(quiet.count(ProbeEntry::Ioctl), 0u);
}

TEST_F(Loader, OpenPassCallsEveryPluginOnceAndKeepsTheFailures) {
    const std::map<std::string, std::int32_t> results{
        {"fine.so", 0}, {"fails.so", -5}, {"odd.so", 3}};
    std::uint64_t id = 0xB1;
    for (const auto& [name, result] : results) probe(name, id++).behaviour.openResult = result;
    core.plugins().loadPlugins();
    for (const auto& [name, result] : results) EXPECT_EQ(entryOf(name).openTime, 0);
    EXPECT_TRUE(core.plugins().openPlugins());

    const Names table = tableNames(core);
    ASSERT_EQ(table.size(), 3u);
    std::uint64_t lastLoad = 0;
    for (const std::string& name : table)
        lastLoad = std::max(lastLoad, orderOf(probeNamed(name), ProbeEntry::Load));
    std::uint64_t previousOpen = lastLoad;
    for (const std::string& name : table) {
        const std::vector<ProbeCall> opens = probeNamed(name).callsOf(ProbeEntry::Open);
        ASSERT_EQ(opens.size(), 1u) << name;
        const ProbeCall& open = opens[0];
        EXPECT_EQ(open.open.size, 24u);
        EXPECT_EQ(open.open.version, 1u);
        EXPECT_EQ(std::string(16, '\0'),
                  std::string(reinterpret_cast<const char*>(open.open.reserved), 16));
        EXPECT_EQ(open.openResult.size, 16u);
        EXPECT_EQ(open.openResult.version, 1u);
        EXPECT_EQ(std::string(8, '\0'),
                  std::string(reinterpret_cast<const char*>(open.openResult.pluginArea), 8));
        EXPECT_TRUE(pthread_equal(open.thread, pthread_self()));
        EXPECT_GT(open.order, previousOpen)
            << name << " opened out of table order or before a Load";
        previousOpen = open.order;
        EXPECT_EQ(entryOf(name).openCode, results.at(name));
    }
    for (const CapturedRecord& record : log.records()) ADD_FAILURE() << record.text;
}

TEST_F(Loader, LoadAndOpenTimesAreMeasured) {
    ProbeControl& slow = probe("slow.so", 0xC1);
    slow.behaviour.onLoad = [](ProbeControl&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    slow.behaviour.onOpen = [](ProbeControl&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    };
    core.plugins().loadPlugins();
    EXPECT_GE(entryOf("slow.so").loadTime, 50);
    core.plugins().openPlugins();
    EXPECT_GE(entryOf("slow.so").openTime, 60);
}

}  // namespace
