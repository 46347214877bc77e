// The example plugins recording real H.264 through the real core: cameras
// served over RTSP by a test server on 127.0.0.1, or the camera plugin's own
// test sources, into Matroska segments that ffprobe and ffmpeg read back.
//
// At stop the core still hands out what was queued before (for up to two
// seconds) and refuses what comes later, so every frame a camera was told
// was accepted reaches the recorder: the checks allow one frame of slack,
// the frame in the camera's hands when the stop began.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "recording_server.h"
#include "server_process.h"
#include "video_checks.h"

namespace {

using namespace std::chrono_literals;
constexpr unsigned long long kStopSlack = 1;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The wall-clock start a segment's name carries, in seconds.
double segmentStart(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename();
    std::tm utc{};
    int milliseconds = 0;
    const auto dash = name.rfind('-');
    std::sscanf(name.c_str() + dash + 1, "%4d%2d%2dT%2d%2d%2d.%3d", &utc.tm_year, &utc.tm_mon,
                &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &milliseconds);
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    return static_cast<double>(timegm(&utc)) + milliseconds / 1000.0;
}

double wallClockNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A camera's frames as (wall-clock time, key frame), segment after segment.
std::vector<std::pair<double, bool>> timeline(const std::vector<video::Segment>& segments,
                                              const std::vector<std::vector<video::Packet>>& packets) {
    std::vector<std::pair<double, bool>> frames;
    for (std::size_t i = 0; i < segments.size() && i < packets.size(); ++i) {
        for (const video::Packet& packet : packets[i]) {
            frames.emplace_back(segmentStart(segments[i].path) + packet.pts, packet.key);
        }
    }
    return frames;
}

// Counts the gaps in a camera's frames (more than 0.2 s between two), and
// fails for every gap that is not followed by a key frame: a recording
// that resumed elsewhere would not decode up to the next key frame.
int expectGapsEndAtKeyFrames(const std::vector<std::pair<double, bool>>& frames) {
    int gaps = 0;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        if (frames[i].first - frames[i - 1].first < 0.2) continue;
        ++gaps;
        EXPECT_TRUE(frames[i].second) << "the recording resumes at a frame that is no key frame";
    }
    return gaps;
}

class Recording : public testing::Test {
protected:
    RecordingServer server;
};

// Catches: frames lost or damaged on the way from an RTSP camera to the
// file (counts, decode errors), files left incomplete by a stop in the
// middle of a group of pictures, a recording that resumes after throttling
// elsewhere than at a key frame, and a playback that changes, loses or
// reorders access units or writes a thumbnail that is no PNG of the size.
TEST_F(Recording, RtspCamerasThroughThrottlingPlaybackAndAStopInTheMiddleOfAGroupOfPictures) {
    // Camera 1 has a key frame every second, camera 2 every four seconds.
    ServerOptions options;
    options.program = TESSARD_RTSP_CAMERA_SERVER;
    options.arguments = {"320x240", "25", "100"};
    TempDir scratch;
    ServerProcess cameras(options, scratch.path());
    ASSERT_TRUE(cameras.waitForOutput("/camera2\n")) << cameras.errors();
    const std::vector<std::string> urls = video::linesOf(cameras.output());
    server.configure("camera", "cameras = 2\nsource.1 = " + urls[0] + "\nsource.2 = " + urls[1] + "\n");
    server.configure("recorder", "segment_seconds = 4\n");
    server.configure("playback_client", "camera = 1\ndelay = 5\nseconds = 3\n");
    server.start();

    ASSERT_TRUE(server.waitFor([](const std::string& out) { return contains(out, "thumbnail /"); }))
        << server.output();
    server.throttle(true);
    const bool refused = server.waitFor([](const std::string& out) {
        return contains(out, "camera 1: frame") && contains(out, "camera 2: frame");
    });
    server.throttle(false);
    ASSERT_TRUE(refused) << server.output();
    // Camera 2's key frames come every 4 s from the start of its first
    // segment; the stop comes 2 s into a group, at least one group after
    // the throttling ended, so that camera 2 has resumed by then.
    std::string firstOfCamera2;
    for (const auto& entry : std::filesystem::directory_iterator(server / "recordings")) {
        const std::string name = entry.path().filename();
        if (name.rfind("camera-2-", 0) == 0 && (firstOfCamera2.empty() || name < firstOfCamera2)) {
            firstOfCamera2 = name;
        }
    }
    ASSERT_FALSE(firstOfCamera2.empty()) << server.output();
    const double groupStart = segmentStart(firstOfCamera2);
    double stopAt = groupStart + 2;
    while (stopAt < wallClockNow() + 6) stopAt += 4;
    std::this_thread::sleep_for(std::chrono::duration<double>(stopAt - wallClockNow()));
    server.stop();

    const std::string output = server.output();
    const auto packets = video::expectCompleteRecordings(output, 2, 320, 240, kStopSlack);
    const auto segments = video::writtenSegments(output);
    for (unsigned camera : {1u, 2u}) {
        SCOPED_TRACE("camera " + std::to_string(camera));
        EXPECT_TRUE(contains(output, "camera: camera " + std::to_string(camera) +
                                         ": frame")) << "throttling refused nothing";
        EXPECT_GE(expectGapsEndAtKeyFrames(timeline(segments.at(camera), packets.at(camera))), 1)
            << "no gap where throttling refused frames";
    }
    // The stop fell inside camera 2's last group of pictures.
    const std::vector<video::Packet>& last = packets.at(2).back();
    std::size_t afterKey = 0;
    for (const video::Packet& packet : last) afterKey = packet.key ? 1 : afterKey + 1;
    EXPECT_GT(afterKey, 1u);
    EXPECT_LT(afterKey, 100u);

    // The clip holds, unchanged and in order, a run of camera 1's recorded
    // access units that starts at a key frame.
    const std::string clip = video::clientPath(output, "clip");
    const std::vector<video::Packet> played = video::packetsOf(clip);
    ASSERT_GE(played.size(), 50u) << output;
    EXPECT_TRUE(played[0].key);
    EXPECT_EQ(video::decodeErrors(clip), "");
    std::vector<std::string> recorded;
    for (const auto& segment : packets.at(1)) {
        for (const video::Packet& packet : segment) recorded.push_back(packet.hash);
    }
    std::vector<std::string> hashes;
    for (const video::Packet& packet : played) hashes.push_back(packet.hash);
    EXPECT_NE(std::search(recorded.begin(), recorded.end(), hashes.begin(), hashes.end()),
              recorded.end())
        << "the played access units are not a run of the recorded ones";
    const std::string thumbnail = video::clientPath(output, "thumbnail");
    EXPECT_EQ(video::pngSize(thumbnail), std::make_pair(320, 240)) << thumbnail;
    EXPECT_EQ(video::streamOf(thumbnail).codec, "png");
}

// Catches: a file camera whose Annex-B units lose or garble a NAL unit or
// lack the parameter sets in front of a key frame, a recorder that moves
// the times of reordered pictures (they would play out of order): either
// way the recording would not decode to the file's pictures. Also two
// cameras of one file that share a sequence, and a file camera that does
// not end at the end of its file.
TEST_F(Recording, FileCamerasRecordExactlyThePicturesOfTheirFile) {
    TempDir scratch;
    const std::string source = scratch.path() + "/source.mkv";
    int status = -1;
    // x264's defaults reorder pictures (B-frames): the demuxer gives no
    // decoding times for them.
    const std::string made = video::run(
        "gst-launch-1.0 -q videotestsrc num-buffers=60 ! "
        "video/x-raw,width=320,height=240,framerate=25/1 ! x264enc key-int-max=12 ! h264parse ! "
        "matroskamux ! filesink location=" + video::quoted(source), &status);
    ASSERT_EQ(status, 0) << made;
    server.configure("camera",
                     "cameras = 2\nsource.1 = " + source + "\nsource.2 = " + source + "\n");
    server.configure("playback_client", "delay = 86400\n");
    server.start();
    ASSERT_TRUE(server.waitFor([](const std::string& out) {
        return contains(out, "camera 1: end of") && contains(out, "camera 2: end of");
    })) << server.output();
    server.stop();

    const std::string output = server.output();
    const auto packets = video::expectCompleteRecordings(output, 2, 320, 240, 0);
    const std::vector<std::string> pictures = video::pictureHashes(source);
    ASSERT_EQ(pictures.size(), 60u);
    for (const auto& [camera, segments] : video::writtenSegments(output)) {
        SCOPED_TRACE("camera " + std::to_string(camera));
        EXPECT_EQ(video::cameraReports(output).at(camera).accepted, 60u);
        ASSERT_EQ(segments.size(), 1u);
        EXPECT_EQ(video::pictureHashes(segments[0].path), pictures);
    }
}

// Catches: cameras that share or overrun a sequence, and a message path
// that refuses frames under the steady load of many cameras.
TEST_F(Recording, SixteenTestSourceCamerasRecordAMinuteWithoutARefusal) {
    server.configure("camera", "cameras = 16\nwidth = 160\nheight = 120\nbitrate = 100\n"
                               "key_interval = 50\n");
    server.configure("recorder", "segment_seconds = 30\n");
    server.configure("playback_client", "delay = 86400\n");
    server.start();
    std::this_thread::sleep_for(60s);
    server.stop();

    const std::string output = server.output();
    EXPECT_FALSE(contains(output, "refused (")) << output;
    const auto reports = video::cameraReports(output);
    for (const auto& [camera, report] : reports) {
        SCOPED_TRACE("camera " + std::to_string(camera));
        EXPECT_EQ(report.refused, 0u);
        EXPECT_EQ(report.dropped, 0u);
        EXPECT_GT(report.accepted, 1000u) << "the camera did not run the minute";
    }
    video::expectCompleteRecordings(output, 16, 160, 120, kStopSlack);
}

}  // namespace
