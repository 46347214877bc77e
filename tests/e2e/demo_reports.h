// What the example plugins leave behind, read back by the tests of the demo
// and of the installed tree: the frames in the recorder's files and the
// lines the plugins print.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "example_frame.h"

// One camera's file, checked frame by frame.
struct Recording {
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;  // the frames' bytes, as far as they parse
    std::uint64_t gaps = 0;   // places where frame numbers jump
    std::vector<std::string> problems;
};

// Reads a recording of `camera`: whole intact frames only, numbers rising,
// the first frame and every frame after a gap a key frame.
inline Recording readRecording(const std::string& path, std::uint32_t camera) {
    std::ifstream in(path, std::ios::binary);
    const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    Recording recording;
    if (!in) recording.problems.push_back("cannot read " + path);
    std::uint64_t previous = 0;
    std::size_t at = 0;
    while (at < content.size()) {
        ExampleFrameHeader header{};
        const std::size_t left = content.size() - at;
        if (left < sizeof(header)) {
            recording.problems.push_back("ends inside a frame header");
            break;
        }
        std::memcpy(&header, content.data() + at, sizeof(header));
        const std::size_t length = sizeof(header) + header.dataLength;
        const std::string where = "frame at byte " + std::to_string(at);
        if (header.magic != EXAMPLE_FRAME_MAGIC || length > left) {
            recording.problems.push_back(where + ": no whole frame");
            break;
        }
        if (!exampleFrameIntact(content.data() + at, length, &header) || header.camera != camera) {
            recording.problems.push_back(where + ": damaged or of another camera");
        }
        if (header.number <= previous) recording.problems.push_back(where + ": out of order");
        const bool resumes = header.number != previous + 1;
        if (resumes && previous != 0) ++recording.gaps;
        if (resumes && header.keyFrame != 1) {
            recording.problems.push_back(where + ": number " + std::to_string(header.number) +
                                         " follows a gap but is no key frame");
        }
        previous = header.number;
        ++recording.frames;
        recording.bytes += length;
        at += length;
    }
    return recording;
}

inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

using CameraNumbers = std::map<std::uint32_t, std::vector<std::uint64_t>>;

// The camera number and the four numbers of every line that `format` (an
// sscanf format: %u, then four %llu, then %n) reads in full; later lines
// replace earlier ones. Unused numbers in a format stay 0.
inline CameraNumbers numbersByCamera(const std::string& output, const char* format) {
    CameraNumbers result;
    for (const std::string& line : linesOf(output)) {
        unsigned camera = 0;
        unsigned long long numbers[4] = {};
        int used = -1;
        const int read = std::sscanf(line.c_str(), format, &camera, &numbers[0], &numbers[1],
                                     &numbers[2], &numbers[3], &used);
        if (read < 2 || used != static_cast<int>(line.size())) continue;
        result[camera] = {numbers[0], numbers[1], numbers[2], numbers[3]};
    }
    return result;
}

// The camera simulator's closing lines: sent, accepted, refused, dropped.
inline CameraNumbers cameraReports(const std::string& output) {
    return numbersByCamera(output,
                           "camera simulator: camera %u: %llu frames sent, %llu accepted, %llu "
                           "refused, %llu dropped before a key frame%n");
}

// The recorder's closing lines: received, written, bytes. A line that
// reports write errors does not count.
inline CameraNumbers recorderReports(const std::string& output) {
    CameraNumbers result;
    for (const std::string& line : linesOf(output)) {
        unsigned camera = 0;
        unsigned long long received = 0, written = 0, bytes = 0;
        int used = -1;
        if (std::sscanf(line.c_str(), "recorder: camera %u: %llu frames received, %llu written "
                                      "(%llu bytes) to %n",
                        &camera, &received, &written, &bytes, &used) != 4 ||
            used < 0 || line.find(", with errors") != std::string::npos) {
            continue;
        }
        result[camera] = {received, written, bytes};
    }
    return result;
}

// The playback client's lines for clean playbacks: frames back, first and
// last number, frames the recorder sent.
inline CameraNumbers cleanPlaybacks(const std::string& output) {
    return numbersByCamera(output,
                           "playback client: camera %u: %llu frames back (numbers %llu to %llu), "
                           "all intact and in order; the recorder sent %llu%n");
}

// Checks a demo run's recordings in `directory` against what the plugins
// reported: every frame the recorder received is in its camera's file, the
// file holds whole intact frames in order and nothing else, and the
// recorder got no frame the core had not accepted. Returns the recordings.
inline std::map<std::uint32_t, Recording> expectCompleteRecordings(const std::string& output,
                                                                   const std::string& directory,
                                                                   std::uint32_t cameras) {
    const CameraNumbers sentByCamera = cameraReports(output);
    const CameraNumbers recordedByCamera = recorderReports(output);
    std::map<std::uint32_t, Recording> recordings;
    EXPECT_EQ(sentByCamera.size(), cameras) << output;
    EXPECT_EQ(recordedByCamera.size(), cameras) << output;
    for (std::uint32_t camera = 1; camera <= cameras; ++camera) {
        SCOPED_TRACE("camera " + std::to_string(camera));
        if (!sentByCamera.count(camera) || !recordedByCamera.count(camera)) continue;
        const std::vector<std::uint64_t>& sent = sentByCamera.at(camera);
        const std::vector<std::uint64_t>& recorded = recordedByCamera.at(camera);
        const std::string path = directory + "/camera-" + std::to_string(camera) + ".frames";
        const Recording recording = readRecording(path, camera);
        recordings[camera] = recording;
        EXPECT_TRUE(recording.problems.empty()) << ::testing::PrintToString(recording.problems);
        EXPECT_GT(recording.frames, 0u);
        EXPECT_EQ(recorded[0], recorded[1]) << "received and written differ";
        EXPECT_EQ(recording.frames, recorded[1]);
        EXPECT_EQ(recording.bytes, recorded[2]);
        std::ifstream file(path, std::ios::binary | std::ios::ate);
        EXPECT_EQ(static_cast<std::uint64_t>(file.tellg()), recorded[2]) << "file size";
        EXPECT_LE(recorded[0], sent[1]) << "more frames recorded than the core accepted";
        EXPECT_EQ(sent[0], sent[1] + sent[2]) << "sent is accepted plus refused";
    }
    return recordings;
}
