// The demo that scripts/run.sh starts: the server built here, in the
// foreground, with the example plugins in the plugins directory beside it.
//
// Each test gives the server a directory of its own: a link to the built
// executable and a plugins directory (the built one itself, or copies of its
// libraries with settings files), so that the recordings, "plugins.xml" and
// "core.xml" land there and the build tree stays as it is.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "demo_reports.h"
#include "foreground_server.h"
#include "server_process.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::MatchesRegex;

const char* const kExamples[] = {"camera_simulator.so", "recorder.so", "console.so",
                                 "playback_client.so"};

std::string builtPluginsDir() { return std::string(TESSARD_BUILD_DIR) + "/plugins"; }

class Demo : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(root / "home");
        placeServerExecutable(root / "tessard");
    }

    // The plugins directory the build made, as run.sh uses it.
    void useBuiltPlugins() { fs::create_directory_symlink(builtPluginsDir(), root / "plugins"); }

    // Copies of the built example plugins, beside which a test puts settings.
    void copyBuiltPlugins() {
        fs::create_directory(root / "plugins");
        for (const char* example : kExamples) {
            fs::copy_file(builtPluginsDir() + "/" + example, root / "plugins/" + example);
        }
    }

    void start() {
        ServerOptions options;
        options.program = root / "tessard";
        options.arguments = {"-d"};
        options.home = root / "home";
        options.environment = sanitizerEnvironment(root.path());
        server = startForeground(options, root.path());
        ASSERT_TRUE(server);
    }

    // Polls the server's standard output until `done` holds for it.
    bool waitFor(const std::function<bool(const std::string&)>& done,
                 std::chrono::seconds limit = std::chrono::seconds(60)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (done(server->output())) return true;
            if (server->wait(std::chrono::milliseconds(50))) return done(server->output());
        }
        return false;
    }

    void expectCleanExit() {
        const std::optional<int> status = server->wait(std::chrono::seconds(60));
        ASSERT_TRUE(status.has_value()) << "the server did not stop";
        EXPECT_EQ(*status, 0) << server->errors();
        EXPECT_EQ(sanitizerReports(root.path()), "");
    }

    TempDir root;
    std::unique_ptr<ServerProcess> server;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(Demo, RecordsEveryFrameThatReachesTheRecorderAndStopsCleanlyOnCtrlC) {
    useBuiltPlugins();
    ASSERT_NO_FATAL_FAILURE(start());
    // The playback client asks for camera 1 three seconds after the start
    // and reports once the recorder has streamed it back.
    ASSERT_TRUE(waitFor([](const std::string& out) {
        return contains(out, "playback client: camera 1:");
    })) << server->output() << server->errors();
    server->signal(SIGINT);
    expectCleanExit();

    const std::string output = server->output();
    EXPECT_THAT(output, HasSubstr("press any key to stop the core"));
    EXPECT_THAT(output, HasSubstr("stopping the core..."));
    for (const char* example : kExamples) {
        EXPECT_THAT(output, MatchesRegex(".*\nconsole:   " + std::string(example) +
                                         " +id 0x[0-9A-F]{8}  open code 0  .*"))
            << example;
    }
    EXPECT_THAT(output, HasSubstr("console: memory throttling is enabled (core.xml)"));
    EXPECT_THAT(output, HasSubstr("console: memory is fine: no throttling"));

    const auto playbacks = cleanPlaybacks(output);
    ASSERT_EQ(playbacks.count(1), 1u) << output;
    EXPECT_GT(playbacks.at(1)[0], 0u);
    EXPECT_EQ(playbacks.at(1)[0], playbacks.at(1)[3]) << "frames back and frames sent differ";

    expectCompleteRecordings(output, root / "recordings", 2);

    const std::string status = readFile(root / "plugins.xml");
    for (const char* example : kExamples) {
        EXPECT_THAT(status, HasSubstr("Filename=\"" + std::string(example) +
                                      "\" Opened=\"1\" OpenCode=\"0\""));
    }
}

TEST_F(Demo, SettingsFilesShapeTheCamerasRecorderAndPlaybackAndEnterStops) {
    copyBuiltPlugins();
    // 300 frames a second in all: the shared sequence overruns after 767
    // frames, so the cameras must reopen it on their next key frames.
    writeFile(root / "plugins/camera_simulator.conf",
              "# three fast cameras\ncameras = 3\nframes_per_second = 100\n"
              "frame_size = 2000\nkey_interval = 10\n");
    // A writer slower than the cameras: frames are still waiting when the
    // recorder is closed, and it must write every one of them.
    writeFile(root / "plugins/recorder.conf",
              "directory = rec/custom\nreport_interval = 1\nslow_disk_ms = 5\n");
    writeFile(root / "plugins/playback_client.conf", "camera = 3\ndelay = 1\n");
    writeFile(root / "plugins/broken.so", "not a shared object");
    ASSERT_NO_FATAL_FAILURE(start());

    const std::string overrun = "refused (sequence overrun); resuming at the next key frame";
    ASSERT_TRUE(waitFor([&](const std::string& out) {
        const std::size_t refused = out.find(overrun);
        // A progress line after the refusal: frames after the reopening key
        // frame have been written.
        return refused != std::string::npos &&
               out.find("recorder: camera", refused) != std::string::npos &&
               contains(out, "playback client: camera 3:");
    })) << server->output() << server->errors();
    server->writeInput("\n");
    expectCleanExit();

    const std::string output = server->output();
    EXPECT_THAT(output, HasSubstr("camera simulator: 3 cameras, 100 frames/s, 2000 bytes a frame, "
                                  "a key frame every 10 frames"));
    EXPECT_THAT(output,
                HasSubstr("console: core: Failed to load plugin: broken.so (missing dependency)"));
    EXPECT_THAT(output, MatchesRegex(".*\nconsole:   broken.so +not loaded\n.*"));
    EXPECT_THAT(output,
                MatchesRegex(".*\nrecorder: closing; [1-9][0-9]* frames still to write\n.*"));
    EXPECT_THAT(readFile(root / "plugins.xml"),
                HasSubstr("Filename=\"broken.so\" Opened=\"1\" OpenCode=\"79\""));

    const auto playbacks = cleanPlaybacks(output);
    ASSERT_EQ(playbacks.count(3), 1u) << output;
    EXPECT_EQ(playbacks.at(3)[0], playbacks.at(3)[3]);

    // Relative to the server's directory, not to where it was started from.
    const auto recordings = expectCompleteRecordings(output, root / "rec/custom", 3);
    std::uint64_t gaps = 0;
    for (const auto& [camera, recording] : recordings) gaps += recording.gaps;
    EXPECT_GT(gaps, 0u) << "the overrun left no gap to resume after";
}

}  // namespace
