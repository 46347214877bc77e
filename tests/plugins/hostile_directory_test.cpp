// Plugins directories as accidents and careless deployments leave them: a
// thousand files of which most are broken, and file names full of printf
// conversions. The server loads what it can, reports the rest under their
// own names, and delivers the messages of the plugins it did load.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "app/core.h"
#include "counting_allocator.h"
#include "log_capture.h"
#include "messages.h"
#include "plugin_folder.h"
#include "plugins/plugin_manager.h"
#include "probe_registry.h"
#include "table_view.h"

namespace {

using Names = std::set<std::string>;

constexpr std::chrono::seconds kPatience{60};
constexpr std::uint64_t kTestType = 0x42;
// MSG_TYPE_TEXT as the event handler folds it for matching.
constexpr std::uint64_t kTextDeliveryKey = 0x2000002;

Names asSet(const std::vector<std::string>& names) { return Names(names.begin(), names.end()); }

template <typename Condition>
bool waitUntil(Condition&& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Whether `probe` received `frame` as an event of the tests' type.
std::size_t deliveriesOf(ProbeControl& probe, const std::string& frame) {
    std::size_t delivered = 0;
    for (const ProbeCall& call : probe.callsOf(ProbeEntry::Write)) {
        delivered += call.write.type == kTestType && call.payload == frame;
    }
    return delivered;
}

class HostileDirectory : public testing::Test {
protected:
    void TearDown() override {
        core.stop();
        forgetProbes();
    }

    // A probe that takes the core's texts and the tests' events by Write.
    ProbeControl& listener() {
        ProbeControl& control = probeNamed("listener.so");
        control.behaviour.info = pluginInfo(0x1157);
        control.behaviour.info.writeEvents = 1;
        control.behaviour.info.eventMasks[1] = UINT64_MAX;
        control.behaviour.info.eventMasks[6] = kTextDeliveryKey;
        folder.install("probe", "listener.so");
        return control;
    }

    // Every "Failed to load plugin" text `probe` received.
    static Names failureTexts(ProbeControl& probe) {
        Names texts;
        for (const ProbeCall& call : probe.callsOf(ProbeEntry::Write)) {
            if (call.payload.rfind("Failed to load plugin: ", 0) == 0) texts.insert(call.payload);
        }
        return texts;
    }

    PluginFolder folder;
    WorkingDirectory cwd{folder.root()};
    CountingAllocator allocator;
    LogCapture log;
    Core core{folder.exePath(), allocator};
};

// 950 broken files (noise, empty files, libraries cut at every length) and
// 50 whole libraries. Every whole one is loaded, every file of noise is
// counted and told once, and the plugins loaded still exchange messages.
TEST_F(HostileDirectory, ThousandFilesMostlyBroken) {
    const std::string whole = readFile(testPluginPath("hard_named"));
    std::mt19937 random(20261208);
    Names loadable;
    Names noise;
    for (int index = 0; index < 1000; ++index) {
        const std::string name = "p" + std::to_string(index) + ".so";
        if (index % 20 == 0) {
            folder.writePlugin(name, whole);
            loadable.insert(name);
        } else if (index % 2 == 0) {
            folder.writePlugin(name, whole.substr(0, random() % whole.size()));
        } else {
            std::string bytes(random() % 4096, '\0');
            for (char& byte : bytes) byte = static_cast<char>(random());
            if (bytes.compare(0, 4, "\x7f" "ELF") == 0) bytes[0] = 'x';
            folder.writePlugin(name, bytes);
            noise.insert(name);
        }
    }
    ProbeControl& probe = listener();
    core.start();
    const std::string frame(40, 'f');
    probe.send(message(0x1157, MSG_SELECT_1, kTestType, &frame));
    ASSERT_TRUE(waitUntil([&] { return deliveriesOf(probe, frame) == 1; }));
    const Names table = asSet(tableNames(core));
    const Names failed = asSet(failedNames(core));
    ASSERT_TRUE(waitUntil([&] { return failureTexts(probe).size() == failed.size(); }));
    core.stop();

    for (const std::string& name : loadable) EXPECT_EQ(table.count(name), 1u) << name;
    for (const std::string& name : noise) EXPECT_EQ(failed.count(name), 1u) << name;
    EXPECT_EQ(table.size() + failed.size(), 1001u) << "every file was either loaded or counted";
    Names expectedTexts;
    for (const std::string& name : failed) {
        expectedTexts.insert("Failed to load plugin: " + name + " (missing dependency)");
    }
    EXPECT_EQ(failureTexts(probe), expectedTexts);
    EXPECT_EQ(deliveriesOf(probe, frame), 1u);
    EXPECT_EQ(allocator.liveBlocks(), 0);
}

// Outside text is data, never a format: file names made of conversions
// reach the log, the notices and "plugins.xml" exactly as they are.
TEST_F(HostileDirectory, ConversionsInFileNamesAreDataEverywhere) {
    const std::string loaded = "%n%s.so";
    const std::string broken = "%s%n%x.so";
    folder.install("hard_named", loaded);
    folder.writePlugin(broken, "not a shared object");
    chmod((folder.pluginsDir() + "/" + loaded).c_str(), 0666);
    ProbeControl& probe = listener();
    core.start();
    ASSERT_TRUE(waitUntil([&] { return !failureTexts(probe).empty(); }));
    EXPECT_EQ(asSet(tableNames(core)), (Names{loaded, "listener.so"}));
    core.stop();

    EXPECT_EQ(failedNames(core), std::vector<std::string>{broken});
    EXPECT_EQ(failureTexts(probe), Names{"Failed to load plugin: " + broken + " (missing dependency)"});
    EXPECT_TRUE(log.contains(wxLOG_Warning, "plugin " + folder.pluginsDir() + "/" + loaded +
                                                " is writable"));
    EXPECT_TRUE(log.contains(wxLOG_Error, broken));
    const std::string saved = readFile(folder / "plugins.xml");
    EXPECT_NE(saved.find("Filename=\"" + loaded + "\""), std::string::npos) << saved;
    EXPECT_NE(saved.find("Name=\"" + broken + "\" Version=\"not loaded\""), std::string::npos)
        << saved;
}

}  // namespace
