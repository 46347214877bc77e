// tessard-inspect run as a plugin author runs it, on libraries built by the
// test tree and the examples: a plugin without fault, every breach of Load
// and of the entry points, and a plugin that crashes or hangs in Load.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "kit_support.h"
#include "temp_dir.h"

namespace {

using nlohmann::json;
using namespace kit_test;

struct Inspection {
    int status = -1;
    json report;
};

Inspection inspect(const std::string& plugin, const std::string& options = "") {
    const CommandResult run =
        runCommand(std::string(TESSARD_INSPECT) + " --json " + options + " '" + plugin + "'");
    Inspection inspection{run.status, json::parse(run.output, nullptr, false)};
    EXPECT_FALSE(inspection.report.is_discarded()) << run.output;
    return inspection;
}

std::multiset<std::string> breachCodes(const json& report) {
    std::multiset<std::string> codes;
    for (const json& breach : report["breaches"]) codes.insert(breach["code"].get<std::string>());
    return codes;
}

std::string testPlugin(const std::string& name) {
    return std::string(TESSARD_TEST_PLUGIN_DIR) + "/" + name;
}

// The ID "plugins.xml" gives the plugin in the file `fileName`, as the core
// itself wrote it after loading the plugin in a harness.
std::string statusDocumentId(const std::string& plugin, const std::string& fileName) {
    HarnessScope harness;
    if (harness.get() == nullptr || tessardHarnessAddPlugin(harness.get(), plugin.c_str()) != 0 ||
        tessardHarnessStart(harness.get()) != 1) {
        return "not loaded";
    }
    std::ifstream file(std::string(tessardHarnessDirectory(harness.get())) + "/plugins.xml");
    std::stringstream document;
    document << file.rdbuf();
    std::smatch found;
    const std::regex entry("ID=\"(-?[0-9]+)\" Filename=\"" + fileName + "\"");
    const std::string text = document.str();
    return std::regex_search(text, found, entry) ? found[1].str() : "absent";
}

// Catches: an inspector that misreads a good plugin's exports, id, flags or
// masks, that shows an id other than the one "plugins.xml" shows, that gets
// the notices the plugin receives wrong, or that finds a breach where there
// is none (a plugin's CI would then fail for nothing).
TEST(Inspect, DescribesAPluginWithoutFaultAsTheCoreSeesIt) {
    const std::string skeleton = std::string(TESSARD_EXAMPLES_DIR) + "/skeleton.so";
    const Inspection inspection = inspect(skeleton);
    ASSERT_EQ(inspection.status, 0) << inspection.report.dump(2);
    const json& report = inspection.report;
    EXPECT_EQ(report["entryPoints"],
              json::array({"Load", "Unload", "Open", "Close", "Write", "IOCTL"}));
    EXPECT_EQ(report["id"]["hex"], "0x7E550070");
    EXPECT_EQ(std::to_string(report["id"]["pluginsXml"].get<int>()),
              statusDocumentId(skeleton, "skeleton.so"));
    EXPECT_EQ(report["flags"], json({{"writeEvents", true}, {"readPolling", false},
                                     {"ioctlOnLoad", false}}));
    ASSERT_EQ(report["masks"].size(), 1u);
    const json& entry = report["masks"][0];
    EXPECT_EQ(entry["entry"], 6);
    EXPECT_EQ(entry["mask"], "0x2000002");
    EXPECT_TRUE(entry["write"]["applies"]);
    EXPECT_EQ(entry["write"]["largestType"], "0x1000002");
    EXPECT_EQ(entry["write"]["namedTypes"], json::array({"MSG_TYPE_TEXT", "MSG_TYPE_SEQUENCED"}));
    EXPECT_FALSE(entry["read"]["applies"]);
    std::map<std::string, bool> receives;
    for (const json& notice : report["notices"]) receives[notice["notice"]] = notice["receives"];
    EXPECT_TRUE(receives.at("plugin table (\"plugins.xml\")"));
    EXPECT_TRUE(receives.at("clock jumps, throttling, failed loads (text)"));
    EXPECT_FALSE(receives.at("memory state"));
    EXPECT_FALSE(receives.at("statistics"));
    EXPECT_EQ(report["closeKey"], "0x0");
    EXPECT_TRUE(report["breaches"].empty());
    EXPECT_TRUE(report["sent"].empty());

    // A plugin id with bits above the lower 32: "plugins.xml" shows a
    // negative number, and the inspector the same one.
    const std::string hashed = testPlugin("call_breaches.so");
    const Inspection other = inspect(hashed);
    EXPECT_EQ(std::to_string(other.report["id"]["pluginsXml"].get<int>()),
              statusDocumentId(hashed, "call_breaches.so"));
}

// Catches: a breach of Load or of the exports that the inspector does not
// report, reports under the wrong word, or reports without failing the exit
// status, so that a plugin's CI would let it through.
TEST(Inspect, ReportsEveryBreachOfLoadAndTheExportsAndFails) {
    TempDir copies;
    const std::string breaching = testPlugin("load_breaches.so");
    const std::map<std::string, std::multiset<std::string>> expected = {
        {copyAs(breaching, copies.path(), "core_id.so"), {"core-id"}},
        {copyAs(breaching, copies.path(), "front_id.so"), {"front-id"}},
        {copyAs(breaching, copies.path(), "rejects_with_thread.so"),
         {"rejected", "threads-after-rejection"}},
        {copyAs(breaching, copies.path(), "sends_in_load.so"), {"sent-during-load"}},
        {testPlugin("load_only.so"),
         {"flag-without-entry", "flag-without-entry", "flag-without-entry", "missing-entry",
          "missing-entry", "missing-entry", "missing-entry"}},
        {copyAs(breaching, copies.path(), "keeps_the_contract.so"), {}}};
    for (const auto& [plugin, codes] : expected) {
        const Inspection inspection = inspect(plugin);
        EXPECT_EQ(breachCodes(inspection.report), codes) << inspection.report.dump(2);
        EXPECT_EQ(inspection.status, codes.empty() ? 0 : 1) << plugin;
    }
    // What was sent during Load is listed: the event and the read request.
    const json sent = inspect(copies / "sends_in_load.so").report["sent"];
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["preview"], "hello from Load");
    EXPECT_EQ(sent[1]["source"], "0x0");
    EXPECT_EQ(sent[1]["handle"], "0x5EE");
}

// Catches: an inspector that dies with the plugin it inspects, or hangs with
// it, instead of reporting the signal or the time-out as a breach, and one
// that forgets what it learnt before the crash (the exports).
TEST(Inspect, SurvivesAPluginThatCrashesOrHangsInLoad) {
    TempDir copies;
    const std::string breaching = testPlugin("load_breaches.so");
    const Inspection crashed = inspect(copyAs(breaching, copies.path(), "crashes_in_load.so"));
    EXPECT_EQ(crashed.status, 1);
    EXPECT_EQ(breachCodes(crashed.report), std::multiset<std::string>{"load-crashes"});
    EXPECT_EQ(crashed.report["load"]["crashSignal"], SIGSEGV);
    EXPECT_EQ(crashed.report["entryPoints"].size(), 8u);

    const Inspection hung =
        inspect(copyAs(breaching, copies.path(), "hangs_in_load.so"), "--timeout 1");
    EXPECT_EQ(hung.status, 1);
    EXPECT_EQ(breachCodes(hung.report), std::multiset<std::string>{"load-hangs"});
    EXPECT_TRUE(hung.report["load"]["timedOut"]);
}

}  // namespace
