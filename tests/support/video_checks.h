// Reading back what the example video plugins leave behind: their console
// lines (what each camera sent and had accepted, each segment the recorder
// wrote, the playback client's clip and thumbnail) and the files themselves,
// through ffprobe and ffmpeg, so that a recording is judged by the tools a
// person would play it with rather than by the code that wrote it.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace video {

// Standard output and error of `command`, run with sh; its exit status.
inline std::string run(const std::string& command, int* status = nullptr) {
    std::string output;
    FILE* pipe = popen(("exec 2>&1; " + command).c_str(), "r");
    if (pipe == nullptr) return "cannot run " + command;
    std::array<char, 4096> buffer;
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        output.append(buffer.data(), got);
    }
    const int raw = pclose(pipe);
    if (status != nullptr) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

inline std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

// "key=value" lines of ffprobe's default writer, as a map.
inline std::map<std::string, std::string> probe(const std::string& arguments) {
    std::map<std::string, std::string> values;
    std::istringstream lines(run("ffprobe -v error -of default=noprint_wrappers=1 " + arguments));
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

struct Stream {
    std::string codec;
    int width = 0;
    int height = 0;
    long frames = -1;       // decoded
    double duration = -1;   // seconds, of the file
};

inline Stream streamOf(const std::string& path) {
    auto values = probe("-count_frames -select_streams v:0 -show_entries "
                        "stream=codec_name,width,height,nb_read_frames:format=duration " +
                        quoted(path));
    Stream stream;
    stream.codec = values["codec_name"];
    stream.width = std::atoi(values["width"].c_str());
    stream.height = std::atoi(values["height"].c_str());
    if (!values["nb_read_frames"].empty()) stream.frames = std::atol(values["nb_read_frames"].c_str());
    if (!values["duration"].empty()) stream.duration = std::atof(values["duration"].c_str());
    return stream;
}

// The MD5 of every picture ffmpeg decodes from the file, in order: equal
// lists mean the same pictures, whatever the timestamps or the form the
// access units were stored in.
inline std::vector<std::string> pictureHashes(const std::string& path) {
    std::vector<std::string> hashes;
    std::istringstream lines(run("ffmpeg -nostdin -v error -i " + quoted(path) + " -f framemd5 -"));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        hashes.push_back(line.substr(line.rfind(',') + 1));
    }
    return hashes;
}

// What ffmpeg says while it decodes the whole file: nothing for a good one.
inline std::string decodeErrors(const std::string& path) {
    return run("ffmpeg -nostdin -v error -i " + quoted(path) + " -f null -");
}

struct Packet {
    double pts = 0;  // seconds from the start of the file
    bool key = false;
    std::string hash;  // MD5 of the access unit as stored
};

inline std::vector<Packet> packetsOf(const std::string& path) {
    std::vector<Packet> packets;
    std::istringstream lines(run("ffprobe -v error -select_streams v:0 -show_data_hash MD5 "
                                 "-show_entries packet=pts_time,flags,data_hash -of compact " +
                                 quoted(path)));
    for (std::string line; std::getline(lines, line);) {
        double pts = 0;
        char flags[16] = {}, hash[64] = {};
        if (std::sscanf(line.c_str(), "packet|pts_time=%lf|flags=%15[^|]|data_hash=%63s", &pts,
                        flags, hash) != 3) {
            continue;
        }
        packets.push_back({pts, flags[0] == 'K', hash});
    }
    return packets;
}

// The width and height in a PNG file's header; 0 and 0 when it is none.
inline std::pair<int, int> pngSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char head[24] = {};
    in.read(reinterpret_cast<char*>(head), sizeof(head));
    static const unsigned char signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (!in || std::memcmp(head, signature, 8) != 0 || std::memcmp(head + 12, "IHDR", 4) != 0) {
        return {0, 0};
    }
    auto word = [&](int at) { return head[at] << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3]; };
    return {word(16), word(20)};
}

// ---- The plugins' lines ------------------------------------------------

struct CameraReport {
    unsigned long long sent = 0, accepted = 0, refused = 0, dropped = 0;
};

// The lines of `output`.
inline std::vector<std::string> linesOf(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The camera plugin's closing line per camera (refusals as the core
// stopped are not counted: they lose nothing).
inline std::map<unsigned, CameraReport> cameraReports(const std::string& output) {
    std::map<unsigned, CameraReport> reports;
    for (const std::string& line : linesOf(output)) {
        unsigned camera = 0;
        CameraReport r;
        if (std::sscanf(line.c_str(), "camera: camera %u: %llu frames sent, %llu accepted, %llu "
                                      "refused, %llu dropped before a key frame,",
                        &camera, &r.sent, &r.accepted, &r.refused, &r.dropped) == 5) {
            reports[camera] = r;
        }
    }
    return reports;
}

struct Segment {
    std::string path;
    unsigned long long frames = 0;
};

// Every segment the recorder finished, per camera, in the order written.
inline std::map<unsigned, std::vector<Segment>> writtenSegments(const std::string& output) {
    std::map<unsigned, std::vector<Segment>> segments;
    for (const std::string& line : linesOf(output)) {
        unsigned camera = 0;
        char path[4096] = {};
        unsigned long long frames = 0;
        if (std::sscanf(line.c_str(), "recorder: camera %u: wrote %4095s (%llu frames", &camera,
                        path, &frames) == 3) {
            segments[camera].push_back({path, frames});
        }
    }
    return segments;
}

// The recorder's closing line per camera: frames received and written.
inline std::map<unsigned, std::pair<unsigned long long, unsigned long long>> recorderReports(
    const std::string& output) {
    std::map<unsigned, std::pair<unsigned long long, unsigned long long>> reports;
    for (const std::string& line : linesOf(output)) {
        unsigned camera = 0;
        unsigned long long received = 0, written = 0;
        if (std::sscanf(line.c_str(), "recorder: camera %u: %llu frames received, %llu written",
                        &camera, &received, &written) == 3) {
            reports[camera] = {received, written};
        }
    }
    return reports;
}

// The path the playback client printed after `label` ("clip", "thumbnail").
inline std::string clientPath(const std::string& output, const std::string& label) {
    for (const std::string& line : linesOf(output)) {
        const auto at = line.find(" " + label + " /");
        if (line.rfind("playback client: camera ", 0) != 0 || at == std::string::npos) continue;
        const std::string rest = line.substr(at + label.size() + 2);
        return rest.substr(0, rest.find(' '));
    }
    return "";
}

// ---- Whole recordings ----------------------------------------------------

// Checks every segment of every camera in `output`: H.264 of the camera's
// size that ffmpeg decodes without a word, starting with a key frame,
// holding the frames the recorder said it wrote; all frames the recorder
// received are in the files, and the files hold within `slack` of what the
// camera had accepted. Returns each camera's packets, segment after segment.
inline std::map<unsigned, std::vector<std::vector<Packet>>> expectCompleteRecordings(
    const std::string& output, unsigned cameras, int width, int height, unsigned long long slack) {
    std::map<unsigned, std::vector<std::vector<Packet>>> packets;
    const auto sent = cameraReports(output);
    const auto recorded = recorderReports(output);
    const auto segments = writtenSegments(output);
    EXPECT_EQ(sent.size(), cameras) << output;
    EXPECT_EQ(recorded.size(), cameras) << output;
    for (const auto& [camera, files] : segments) {
        SCOPED_TRACE("camera " + std::to_string(camera));
        unsigned long long frames = 0;
        for (const Segment& segment : files) {
            SCOPED_TRACE(segment.path);
            const Stream stream = streamOf(segment.path);
            EXPECT_EQ(stream.codec, "h264");
            EXPECT_EQ(stream.width, width);
            EXPECT_EQ(stream.height, height);
            EXPECT_EQ(stream.frames, static_cast<long>(segment.frames));
            EXPECT_GE(stream.duration, (segment.frames - 1) / 25.0 - 0.05);
            EXPECT_EQ(decodeErrors(segment.path), "");
            packets[camera].push_back(packetsOf(segment.path));
            EXPECT_FALSE(packets[camera].back().empty() || !packets[camera].back()[0].key)
                << "a segment must start with a key frame";
            frames += static_cast<unsigned long long>(stream.frames);
        }
        if (!recorded.count(camera) || !sent.count(camera)) continue;
        EXPECT_EQ(frames, recorded.at(camera).first) << "frames received but not in the files";
        EXPECT_EQ(recorded.at(camera).first, recorded.at(camera).second);
        EXPECT_LE(frames, sent.at(camera).accepted);
        EXPECT_LE(sent.at(camera).accepted - frames, slack) << "accepted frames missing";
    }
    EXPECT_EQ(segments.size(), cameras) << output;
    return packets;
}

}  // namespace video
