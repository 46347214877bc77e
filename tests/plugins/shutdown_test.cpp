// The close and unload passes, run on a Core whose plugins the real loader
// loaded from real libraries: their order, what each plugin receives, that
// no library is unmapped while a worker runs in it, and what plugin threads
// that keep sending meanwhile see.
//
// Whether a library is still mapped is asked of the dynamic linker itself.
// The concurrency cases are meant to run under ThreadSanitizer as well.


#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "app/core.h"
#include "counting_allocator.h"
#include "library_state.h"
#include "log_capture.h"
#include "messages.h"
#include "plugin_folder.h"
#include "plugins/plugin_manager.h"
#include "probe_registry.h"
#include "table_view.h"

namespace {

using Names = std::vector<std::string>;
using namespace std::chrono_literals;

// How long a test waits for what must happen; generous, because the
// machine may be busy, and only a failing test waits that long.
constexpr std::chrono::seconds kPatience{60};
constexpr std::uint64_t kTestType = 0x42;

// Holds plugin calls until the test lets them go.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> hold(lock);
        opened = true;
        changed.notify_all();
    }

    bool wait(std::chrono::milliseconds limit = kPatience) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, limit, [this] { return opened; });
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    bool opened = false;  // guarded by lock
};

// A read request for every plugin that reads entry 1, carrying `text`, which
// must outlive the record.
CoreMessage readRequest(const std::string& text, std::uint64_t handle = 0) {
    CoreMessage request = message(0, MSG_SELECT_1, kTestType, &text);
    request.handle = handle;
    return request;
}

std::size_t readsCarrying(ProbeControl& probe, const std::string& text) {
    std::size_t count = 0;
    for (const ProbeCall& call : probe.callsOf(ProbeEntry::Read)) count += call.payload == text;
    return count;
}

class Shutdown : public testing::Test {
protected:
    void TearDown() override {
        gate.open();
        core.stop();
        stopSending = true;
        if (sender.joinable()) sender.join();
        if (releaser.joinable()) releaser.join();
        forgetProbes();
    }

    ProbeControl& probe(const std::string& fileName, std::uint64_t id, std::uint64_t closeKey = 0) {
        ProbeControl& control = probeNamed(fileName);
        control.behaviour.info = pluginInfo(id);
        control.behaviour.info.eventMasks[5] = closeKey;
        folder.install("probe", fileName);
        return control;
    }

    // A probe that takes read requests selected by entry 1.
    ProbeControl& reader(const std::string& fileName, std::uint64_t id,
                         std::uint64_t closeKey = 0) {
        ProbeControl& control = probe(fileName, id, closeKey);
        control.behaviour.info.readPolling = 1;
        control.behaviour.info.eventMasks[1] = UINT64_MAX;
        return control;
    }

    std::string pathOf(const std::string& fileName) const {
        return folder.pluginsDir() + "/" + fileName;
    }

    Names mappedAmong(const Names& fileNames) const {
        Names mapped;
        for (const std::string& name : fileNames) {
            if (isMapped(pathOf(name))) mapped.push_back(name);
        }
        return mapped;
    }

    bool hasRecord(wxLogLevel level, const std::string& text) {
        for (const CapturedRecord& record : log.records()) {
            if (record.level == level && record.text == text) return true;
        }
        return false;
    }

    static std::int32_t route(const CoreMessage& message) {
        CoreStatus status{sizeof(CoreStatus), 1, 0};
        coreCallback(&message, &status);
        return status.code;
    }

    PluginFolder folder;
    WorkingDirectory cwd{folder.root()};
    CountingAllocator allocator;
    LogCapture log;
    Core core{folder.exePath(), allocator};

    // What the hooks saw; the main thread runs Close and Unload, so only the
    // worker's members need to be atomic.
    std::vector<Names> tablesAtClose;
    std::map<std::string, Names> mappedAtUnload;
    Gate gate;
    std::atomic<int> readsReturned{0};
    std::thread releaser;
    std::thread sender;
    std::atomic<bool> stopSending{false};
};

// Keys 5, 0 and 7, and one with the top bit set, which only an unsigned
// comparison puts first. The plugin with key 0 failed its Open.
TEST_F(Shutdown, ClosesThenUnloadsInDescendingCloseKeyOrder) {
    const Names closeOrder{"top.so", "k7.so", "k5.so", "k0.so"};
    probe("k5.so", 0x15, 5);
    probe("k0.so", 0x10, 0).behaviour.openResult = -1;
    probe("k7.so", 0x17, 7);
    probe("top.so", 0x18, UINT64_C(0x8000000000000000));
    folder.writePlugin("broken.so", "not a shared object");
    for (const std::string& name : closeOrder) {
        ProbeBehaviour& behaviour = probeNamed(name).behaviour;
        behaviour.onClose = [this](ProbeControl&) { tablesAtClose.push_back(tableNames(core)); };
        behaviour.onUnload = [this, name, closeOrder](ProbeControl&) {
            mappedAtUnload[name] = mappedAmong(closeOrder);
        };
    }
    core.start();
    EXPECT_EQ(core.plugins().size(), 4u);
    core.stop();

    std::vector<std::uint64_t> closes;
    std::vector<std::uint64_t> unloads;
    for (std::size_t index = 0; index < closeOrder.size(); ++index) {
        const std::string& name = closeOrder[index];
        ProbeControl& plugin = probeNamed(name);
        const std::vector<ProbeCall> close = plugin.callsOf(ProbeEntry::Close);
        const std::vector<ProbeCall> unload = plugin.callsOf(ProbeEntry::Unload);
        ASSERT_EQ(close.size(), 1u) << name;
        ASSERT_EQ(unload.size(), 1u) << name;
        closes.push_back(close[0].order);
        unloads.push_back(unload[0].order);
        EXPECT_EQ(close[0].close.size, 12u);
        EXPECT_EQ(close[0].close.version, 1u);
        EXPECT_EQ(close[0].close.code, 0u);
        EXPECT_EQ(unload[0].unload.size, 8u);
        EXPECT_EQ(unload[0].unload.version, 1u);
        for (const ProbeCall* call : {&close[0], &unload[0]}) {
            EXPECT_EQ(call->status.size, 12u);
            EXPECT_EQ(call->status.version, 1u);
            EXPECT_EQ(call->status.code, 0);
            // On a thread of the stop's own, so that a call that never
            // returns cannot hold the stop.
            EXPECT_FALSE(pthread_equal(call->thread, pthread_self()));
        }
        // Each earlier plugin's library is gone before this Unload; this
        // one's and every later one's are still there.
        EXPECT_EQ(mappedAtUnload[name], Names(closeOrder.begin() + index, closeOrder.end()))
            << name;
    }
    EXPECT_TRUE(std::is_sorted(closes.begin(), closes.end())) << "Close out of order";
    EXPECT_TRUE(std::is_sorted(unloads.begin(), unloads.end())) << "Unload out of order";
    EXPECT_LT(closes.back(), unloads.front()) << "an Unload came before the last Close";
    ASSERT_EQ(tablesAtClose.size(), 4u);
    for (const Names& table : tablesAtClose) EXPECT_EQ(table, closeOrder);
    EXPECT_EQ(core.plugins().size(), 0u);
    EXPECT_EQ(failedNames(core), Names{"broken.so"});
    EXPECT_TRUE(mappedAmong(closeOrder).empty());
}

TEST_F(Shutdown, EmptyTablePassesReturnAtOnce) {
    core.plugins().loadPlugins();
    EXPECT_TRUE(core.plugins().closePlugins());
    EXPECT_TRUE(core.plugins().unloadPlugins());
    EXPECT_EQ(core.plugins().size(), 0u);
}

// A worker that does not come back within the grace keeps its library
// mapped, and the stop goes on without it; released later, it returns
// through the plugin's code without harm.
TEST_F(Shutdown, WorkerStillInsideAfterTheGraceKeepsItsLibraryMapped) {
    ProbeControl& stuck = reader("stuck.so", 0x21);
    stuck.behaviour.onRead = [this](ProbeControl&, const ReadRequest&) { gate.wait(); };
    core.plugins().loadPlugins();
    core.plugins().openPlugins();
    EXPECT_EQ(route(readRequest("hold on")), STATUS_OK);
    ASSERT_TRUE(stuck.waitFor(ProbeEntry::Read, 1, kPatience));
    const std::shared_ptr<PluginLibrary> library = core.plugins().snapshot()->front().library;

    core.plugins().closePlugins();
    EXPECT_TRUE(core.plugins().unloadPlugins(StopClock(1s)));
    EXPECT_TRUE(hasRecord(wxLOG_Warning,
                          "plugin stuck.so has been in Read for 1 seconds; the stop goes on "
                          "without it and leaves its library loaded"));
    EXPECT_EQ(stuck.count(ProbeEntry::Unload), 1u);
    EXPECT_EQ(core.plugins().size(), 0u);
    EXPECT_TRUE(isMapped(pathOf("stuck.so")));

    gate.open();
    EXPECT_TRUE(library->waitIdle(kPatience)) << "the worker did not come back from the plugin";
    EXPECT_TRUE(isMapped(pathOf("stuck.so")));
}

// The plugin's Unload lets its blocked Reads go a little later; the unload
// pass waits for them before it closes the library.
TEST_F(Shutdown, WorkersReturningWithinTheGraceLetTheLibraryClose) {
    ProbeControl& patient = reader("patient.so", 0x22);
    patient.behaviour.onRead = [this](ProbeControl&, const ReadRequest&) {
        gate.wait();
        ++readsReturned;
    };
    patient.behaviour.onUnload = [this](ProbeControl&) {
        releaser = std::thread([this] {
            std::this_thread::sleep_for(300ms);
            gate.open();
        });
    };
    core.start();
    EXPECT_EQ(route(readRequest("take your time")), STATUS_OK);
    // The scheduler's start-up Read and the request.
    ASSERT_TRUE(patient.waitFor(ProbeEntry::Read, 2, kPatience));
    core.stop();
    EXPECT_EQ(readsReturned.load(), 2) << "the library was closed while a Read was still inside";
    EXPECT_FALSE(isMapped(pathOf("patient.so")));
    EXPECT_EQ(log.countContaining("the stop goes on without it"), 0u);
}

// From its Close on, no worker is started for a plugin: a read request sent
// during the first plugin's Close reaches only the plugin still open, and
// one sent after every Close reaches nobody.
TEST_F(Shutdown, NoReadWorkerStartsForAClosedPlugin) {
    ProbeControl& early = reader("early.so", 0x31, 9);
    ProbeControl& late = reader("late.so", 0x32, 1);
    std::int32_t duringClose = -2;
    std::int32_t afterClose = -2;
    early.behaviour.onClose = [&](ProbeControl& self) {
        duringClose = self.send(readRequest("while early closes"));
    };
    late.behaviour.onUnload = [&](ProbeControl& self) {
        afterClose = self.send(readRequest("after every close"));
    };
    core.start();
    core.stop();
    EXPECT_EQ(duringClose, STATUS_OK);
    EXPECT_EQ(afterClose, STATUS_OK);
    EXPECT_EQ(readsCarrying(early, "while early closes"), 0u);
    EXPECT_EQ(readsCarrying(late, "while early closes"), 1u);
    EXPECT_EQ(readsCarrying(early, "after every close"), 0u);
    EXPECT_EQ(readsCarrying(late, "after every close"), 0u);
}

// A plugin thread keeps sending events and read requests while the table is
// sorted, closed and emptied; every Close waits until it has sent more.
// Request n carries handle n. A request begun after a plugin's Close began
// must not reach that plugin, and no walk of the table may meet a plugin
// twice.
TEST_F(Shutdown, SendersDuringTheClosePassSeeAConsistentTable) {
    const Names names{"a.so", "b.so", "c.so"};
    // How many requests each Close waits to see sent while it runs.
    constexpr std::uint64_t kSendsPerClose = 5;
    std::map<std::string, std::uint64_t> sentBeforeClose;
    std::map<std::string, bool> sentDuringClose;
    std::atomic<std::uint64_t> requestsSent{0};
    std::atomic<int> refusals{0};
    std::uint64_t key = 3;
    for (const std::string& name : names) {
        ProbeBehaviour& behaviour = reader(name, 0x40 + key, key).behaviour;
        --key;
        behaviour.onClose = [&, name](ProbeControl&) {
            const std::uint64_t mark = requestsSent.load();
            sentBeforeClose[name] = mark;
            const auto deadline = std::chrono::steady_clock::now() + kPatience;
            while (requestsSent.load() < mark + kSendsPerClose &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            sentDuringClose[name] = requestsSent.load() >= mark + kSendsPerClose;
        };
    }
    probeNamed("a.so").behaviour.onOpen = [&](ProbeControl& self) {
        sender = std::thread([&, callback = self.callback()] {
            const std::string frame(256, 'f');
            const std::string question = "request";
            std::uint64_t handle = 0;
            while (!stopSending.load()) {
                const CoreMessage event = message(0x43, MSG_SELECT_1, kTestType, &frame);
                const CoreMessage request = readRequest(question, ++handle);
                for (const CoreMessage* sent : {&event, &request}) {
                    CoreStatus status{sizeof(CoreStatus), 1, 0};
                    callback(sent, &status);
                    // Once the stop has begun, events are refused as such.
                    if (status.code != STATUS_OK && status.code != STATUS_STOPPING) ++refusals;
                }
                requestsSent.store(handle);
                std::this_thread::sleep_for(1ms);
            }
        });
    };
    core.start();
    core.stop();
    stopSending = true;
    sender.join();

    EXPECT_EQ(refusals.load(), 0);
    for (const std::string& name : names) {
        ASSERT_EQ(sentBeforeClose.count(name), 1u) << name;
        EXPECT_TRUE(sentDuringClose[name]) << "nothing was sent while " << name << " closed";
        std::set<std::uint64_t> handles;
        for (const ProbeCall& call : probeNamed(name).callsOf(ProbeEntry::Read)) {
            if (call.read.handle == 0) continue;  // the scheduler's start-up Read
            EXPECT_TRUE(handles.insert(call.read.handle).second)
                << name << " got request " << call.read.handle << " twice";
            EXPECT_LE(call.read.handle, sentBeforeClose[name] + 1)
                << name << " got a request begun after its Close";
        }
    }
}

}  // namespace
