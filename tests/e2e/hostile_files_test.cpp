// Hostile files and plugins at start, end to end: a settings file nested
// tens of thousands of elements deep, symbolic links planted where the
// server writes its files, plugins that reject themselves with a thread of
// theirs still running, a payload length far beyond its buffer, a server
// started through a link from another directory and one without a plugins
// directory.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "host_texts.h"
#include "hostile_plugins.h"
#include "server_dir.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

const std::string kNormalSettings =
    "<?xml ?>\n<Zelt Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n</Zelt>\n";
// A settings document the server would keep (throttling off), were it read.
const std::string kKeptSettings = "<Zelt><Memory Throttling=\"0\" /></Zelt>";

bool isRegular(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

class HostileFiles : public testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(dir.sanitizerReports(), ""); }

    std::unique_ptr<ServerProcess> start(const std::string& program) {
        Launch launch;
        launch.arguments = {"-d"};
        launch.program = program;
        launch.environment = plugins.environment();
        auto server = dir.start("run", launch);
        EXPECT_TRUE(server->waitForOutput(kPromptText, 120s)) << server->errors();
        return server;
    }

    void stop(ServerProcess& server) {
        server.writeInput("\n");
        ASSERT_EQ(server.wait(120s), 0) << server.errors();
        EXPECT_EQ(server.output(), std::string(kStartingText) + kPromptText + kStoppingText);
    }

    ServerDir dir;
    HostilePlugins plugins{dir};
};

// Fault 4: a plugin that started a thread in Load and then rejected itself
// was unmapped under its thread (a crash at every start). Fault 5: a deeply
// nested "core.xml" overflowed the scheduler's stack. Fault 6: a payload
// length of 0x7fffffff with a 16-byte buffer made the core allocate 2 GiB and
// read past the buffer; a read request as long was answered as accepted. Fault 15: "plugins.xml" was written through a
// planted link. Fault 17: started through a link, the server looked for its
// plugins beside the link.
TEST_F(HostileFiles, ServesThroughALinkPastBadFilesAndPlugins) {
    for (const char* role : {"reject_error", "reject_return", "oversized", "reader"}) {
        plugins.install(role);
    }
    // 50 000 levels: the parser recursed once per level, and 40 000 overflowed
    // the scheduler thread's stack. No file under the size bound can hold that
    // many, so the size refuses this one; a deep file within the size is
    // refused by its depth (monitor/memory_setting_test.cpp).
    std::string nested = "<?xml version=\"1.0\"?><Zelt>";
    for (int level = 0; level < 50000; ++level) nested += "<Memory>";
    writeFile(dir.bin() + "/core.xml", nested);
    writeFile(dir / "victim", "precious\n");
    fs::create_symlink(dir / "victim", dir.bin() + "/plugins.xml");
    fs::create_directories(dir / "links");
    fs::create_symlink("../bin/tessard", dir / "links/tessard");

    auto server = start(dir / "links/tessard");
    ASSERT_TRUE(server);
    EXPECT_EQ(dir.calls("run").firstPid(), server->pid()) << "the plugins beside the link's target";
    EXPECT_EQ(workingDirectoryOf(server->pid()), fs::canonical(dir.bin()).string());
    EXPECT_NE(server->errors().find("plugin reject_error.so load returned 0 error 7"), std::string::npos)
        << server->errors();
    EXPECT_NE(server->errors().find("plugin reject_return.so load returned 5 error 0"), std::string::npos);
    // Both rejected plugins' threads still run in their libraries.
    for (const char* rejected : {"reject_error", "reject_return"}) {
        const std::size_t ticks = plugins.count(rejected, "tick");
        EXPECT_TRUE(eventually([&] { return plugins.count(rejected, "tick") > ticks + 3; })) << rejected;
        EXPECT_EQ(plugins.count(rejected, "open"), 0u) << rejected;
    }
    EXPECT_TRUE(eventually([&] { return readFile(dir.bin() + "/core.xml") == kNormalSettings; }));
    EXPECT_TRUE(isRegular(dir.bin() + "/plugins.xml"));
    EXPECT_NE(readFile(dir.bin() + "/plugins.xml").find("reader.so"), std::string::npos);
    EXPECT_EQ(readFile(dir / "victim"), "precious\n");
    EXPECT_FALSE(fileExists(dir / "links/plugins.xml"));

    EXPECT_EQ(plugins.last("oversized", "event length=2147483647"),
              "event length=2147483647 status=-1");
    EXPECT_EQ(plugins.last("oversized", "event length=67108865"), "event length=67108865 status=-1");
    // A read request past the maximum is refused alike, and starts no Read:
    // the reader's one Read was the one every reader gets at start.
    EXPECT_EQ(plugins.last("oversized", "request"), "request length=2147483647 status=-1");
    stop(*server);
    EXPECT_EQ(plugins.count("reader", "read "), 1u);
    EXPECT_EQ(plugins.count("reader", "read handle=0 length=0 "), 1u);
}

// Faults 15 and 17 for a server whose own directory holds neither plugins
// nor a usable "core.xml": a planted link is replaced, its target is left
// alone, and the missing plugins directory is named.
TEST_F(HostileFiles, ReplacesALinkedSettingsFileAndNamesAMissingPluginsDirectory) {
    fs::create_directories(dir / "bare");
    placeServerExecutable(dir / "bare/tessard");
    writeFile(dir / "victim.xml", kKeptSettings);
    fs::create_symlink(dir / "victim.xml", dir / "bare/core.xml");

    auto server = start(dir / "bare/tessard");
    ASSERT_TRUE(server);
    EXPECT_NE(server->errors().find("plugins directory " + fs::canonical(dir / "bare").string() +
                                    "/plugins cannot be opened; no plugin is loaded"),
              std::string::npos)
        << server->errors();
    EXPECT_TRUE(eventually([&] { return readFile(dir / "bare/core.xml") == kNormalSettings; }));
    EXPECT_TRUE(isRegular(dir / "bare/core.xml"));
    EXPECT_EQ(readFile(dir / "victim.xml"), kKeptSettings);
    stop(*server);
    EXPECT_TRUE(dir.calls("run").calls().empty());
}

}  // namespace
