// Where the server finds itself: started through a relative path, by a bare
// name found through PATH, or by a name that leads nowhere, it works in the
// directory of the executable it runs from and loads the plugins there, not
// in the directory it was started from.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "host_texts.h"
#include "plugin_folder.h"
#include "server_dir.h"

namespace fs = std::filesystem;

namespace {

class PathResolution : public testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(dir.sanitizerReports(), ""); }

    // Runs the server in the foreground as `launch` says and checks that it
    // served from `home`: its working directory, its plugins, its
    // status document.
    void expectServesFrom(Launch launch, const std::string& home) {
        launch.arguments = {"-d"};
        const std::string startedIn =
            launch.workingDirectory.empty() ? dir.elsewhere() : launch.workingDirectory;
        auto server = dir.start("run", launch);
        ASSERT_TRUE(server->waitForOutput(kPromptText)) << server->errors();
        EXPECT_EQ(workingDirectoryOf(server->pid()), fs::canonical(home).string());
        EXPECT_EQ(dir.calls("run").firstPid(), server->pid()) << "the plugin beside it was not loaded";
        server->writeInput("\n");
        ASSERT_EQ(server->wait(), 0) << server->errors();
        EXPECT_TRUE(fileExists(home + "/plugins.xml"));
        EXPECT_FALSE(fileExists(startedIn + "/plugins.xml"));
    }

    ServerDir dir;
};

// A directory of its own holding a copy of the executable, not a link, so
// that the kernel's record of the running file points into it.
std::string installCopy(ServerDir& dir) {
    const std::string copy = dir / "copy";
    fs::create_directories(copy + "/plugins");
    fs::copy_file(serverExecutable(), copy + "/tessard");
    fs::copy_file(testPluginPath("host_call_log"), copy + "/plugins/host_call_log.so");
    return copy;
}

struct RelativeStart {
    const char* from;   // the working directory, relative to the server directory
    const char* argv0;  // the path the server is started by
};

class RelativePath : public PathResolution, public testing::WithParamInterface<RelativeStart> {};

TEST_P(RelativePath, IsTakenAgainstTheStartingDirectory) {
    Launch launch;
    launch.workingDirectory = dir / GetParam().from;
    launch.program = GetParam().argv0;
    expectServesFrom(launch, dir.bin());
}

INSTANTIATE_TEST_SUITE_P(WithDirectoryPart, RelativePath,
                         testing::Values(RelativeStart{"elsewhere", "../bin/tessard"},
                                         RelativeStart{".", "./bin/tessard"},
                                         RelativeStart{".", "elsewhere/../bin/tessard"}));

TEST_F(PathResolution, BareNameIsFoundThroughPath) {
    // Earlier PATH entries hold a "tessard" that is no program: a plain file
    // and a directory. Both are passed over.
    fs::create_directories(dir / "not-executable");
    writeFile(dir / "not-executable/tessard", "#!/bin/sh\n");
    chmod((dir / "not-executable/tessard").c_str(), 0644);
    fs::create_directories(dir / "a-directory/tessard");
    Launch launch;
    launch.argv0 = "tessard";
    launch.environment["PATH"] =
        dir / "not-executable:" + dir / "a-directory:" + dir.bin() + ":/usr/bin:/bin";
    expectServesFrom(launch, dir.bin());
}

TEST_F(PathResolution, NameThatLeadsNowhereFallsBackToTheRunningFile) {
    const std::string copy = installCopy(dir);
    Launch launch;
    launch.program = copy + "/tessard";
    launch.argv0 = "no-such-tessard";
    launch.environment["PATH"] = "/usr/bin:/bin";
    expectServesFrom(launch, copy);
}

}  // namespace
