// The demo that scripts/run.sh starts: the server built here, in the
// foreground, with the example plugins in the plugins directory beside it:
// two test-source cameras recorded into Matroska segments, a few seconds of
// camera 1 played back into a clip and a thumbnail.
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
#include <cstdio>

#include "foreground_server.h"
#include "server_process.h"
#include "temp_dir.h"
#include "video_checks.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::MatchesRegex;

const char* const kExamples[] = {"camera.so", "recorder.so", "console.so",
                                 "playback_client.so"};
// Frames the core may have accepted but not delivered when it stopped: it
// drops the events still queued then ("The order of things", plugin guide).
constexpr unsigned long long kStopSlack = 25;

std::string builtPluginsDir() { return std::string(TESSARD_BUILD_DIR) + "/plugins"; }

class Demo : public testing::Test {
protected:
    void SetUp() override {
#ifdef __SANITIZE_THREAD__
        // GLib, GStreamer and the libraries their elements load synchronise
        // with locks ThreadSanitizer does not see, so that it reports their
        // own threads' work as races; the video plugins run in the other
        // two builds.
        GTEST_SKIP() << "the example video plugins do not run under ThreadSanitizer";
#endif
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

// Catches: a demo that records nothing playable, loses frames on the way,
// reports lost frames in steady state, plays back nothing, prints paths
// that do not exist, does not say where its metrics page is, or does not
// stop cleanly on Ctrl-C.
TEST_F(Demo, RecordsTwoCamerasPlaysCameraOneBackAndStopsCleanlyOnCtrlC) {
    useBuiltPlugins();
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(waitFor([](const std::string& out) { return contains(out, "thumbnail /"); },
                        std::chrono::seconds(120)))
        << server->output() << server->errors();
    server->signal(SIGINT);
    expectCleanExit();

    const std::string output = server->output();
    EXPECT_THAT(output, HasSubstr("press any key to stop the core"));
    for (const char* example : kExamples) {
        EXPECT_THAT(output, MatchesRegex(".*\nconsole:   " + std::string(example) +
                                         " +id 0x[0-9A-F]{8}  open code 0  .*"))
            << example;
    }
    EXPECT_THAT(output, HasSubstr("console: memory is fine: no throttling"));
    // The metrics page's address, or, where another server on the machine
    // has its default port, the one line that says so.
    EXPECT_THAT(output, testing::ContainsRegex("metrics: (page at http://127\\.0\\.0\\.1:9475/|"
                                               "cannot serve on 127\\.0\\.0\\.1 port 9475 )"));
    EXPECT_FALSE(contains(output, "refused (")) << "lost frames reported in steady state";
    video::expectCompleteRecordings(output, 2, 640, 360, kStopSlack);
    for (const auto& [camera, segments] : video::writtenSegments(output)) {
        for (const video::Segment& segment : segments) {
            EXPECT_TRUE(fs::equivalent(fs::path(segment.path).parent_path(), root / "recordings"));
        }
    }
    const std::string clip = video::clientPath(output, "clip");
    EXPECT_GE(video::streamOf(clip).frames, 75) << clip;
    EXPECT_EQ(video::decodeErrors(clip), "");
    EXPECT_EQ(video::pngSize(video::clientPath(output, "thumbnail")), std::make_pair(640, 360));

    const std::string status = readFile(root / "plugins.xml");
    for (const char* example : kExamples) {
        EXPECT_THAT(status, HasSubstr("Filename=\"" + std::string(example) +
                                      "\" Opened=\"1\" OpenCode=\"0\""));
    }
}

// Catches: recordings replaced at a restart, retention that deletes a newer
// segment before an older one or ignores its limit, settings files that are
// not read, and a broken library that stops the others.
TEST_F(Demo, KeepsRecordingsAcrossARestartAndRetentionDeletesTheOldestFirst) {
    copyBuiltPlugins();
    writeFile(root / "plugins/camera.conf", "cameras = 1\nbitrate = 4000\npattern = snow\n");
    writeFile(root / "plugins/recorder.conf", "directory = rec/custom\nsegment_seconds = 1\n");
    writeFile(root / "plugins/playback_client.conf", "delay = 86400\n");
    writeFile(root / "plugins/broken.so", "not a shared object");
    const auto segments = [](const std::string& out) {
        return video::writtenSegments(out)[1].size();
    };
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(waitFor([&](const std::string& out) { return segments(out) >= 3; }))
        << server->output();
    server->writeInput("\n");
    expectCleanExit();
    const std::string first = server->output();
    EXPECT_THAT(first, HasSubstr("camera: 1 camera; test sources 640x360, 25 frames/s, 4000 kbit/s"));
    EXPECT_THAT(first,
                HasSubstr("console: core: Failed to load plugin: broken.so (missing dependency)"));
    video::expectCompleteRecordings(first, 1, 640, 360, kStopSlack);
    const std::vector<video::Segment> kept = video::writtenSegments(first)[1];
    // Relative to the server's directory, not to where it was started from.
    EXPECT_TRUE(fs::equivalent(fs::path(kept[0].path).parent_path(), root / "rec/custom"));

    // About 0.5 MB a second: a limit of 1 MB holds two or three segments.
    writeFile(root / "plugins/recorder.conf",
              "directory = rec/custom\nsegment_seconds = 1\nkeep_megabytes = 1\n");
    // The first run's lines must not be taken for the second's.
    fs::remove(root / "stdout");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(waitFor([&](const std::string& out) { return segments(out) >= 3; }))
        << server->output();
    server->writeInput("\n");
    expectCleanExit();
    std::vector<std::string> deleted;
    const std::string second = server->output();
    for (const std::string& line : video::linesOf(second)) {
        char path[4096] = {};
        if (std::sscanf(line.c_str(), "recorder: retention: deleted %4095s", path) == 1) {
            deleted.push_back(fs::path(path).filename());
        }
    }
    ASSERT_GE(deleted.size(), kept.size()) << second;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ(deleted[i], fs::path(kept[i].path).filename()) << "not the oldest first";
    }
    std::uintmax_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(root / "rec/custom")) bytes += entry.file_size();
    EXPECT_LE(bytes, 2'000'000u) << "the limit of 1 MB plus the segment written last";
}

}  // namespace
