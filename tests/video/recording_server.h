// The real core hosted in the test process with the built example plugins:
// the one place the video tests construct a Core.
//
// The server's directory is a temporary one holding copies of the example
// plugins (camera, recorder, playback client, console), their settings
// files and a "core.xml" that disables memory throttling, so that only the
// test switches the core's throttling flag (throttle()). While the core
// runs, the process's standard output, where the plugins print, goes
// through a pipe to a thread that copies it both to a file the test reads
// and to the real standard output, where test failures must still appear;
// it is restored when the core has stopped.
//
// Used from the test's thread only, but for the copying thread, which owns
// the pipe's reading end and the file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/core.h"
#include "temp_dir.h"

class RecordingServer {
public:
    RecordingServer() {
        namespace fs = std::filesystem;
        fs::create_directory(root / "plugins");
        for (const char* plugin : {"camera", "recorder", "playback_client", "console"}) {
            fs::copy_file(std::string(TESSARD_EXAMPLES_DIR) + "/" + plugin + ".so",
                          root / ("plugins/" + std::string(plugin) + ".so"));
        }
        writeFile(root / "core.xml",
                  "<?xml ?>\n<Zelt Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"0\" "
                  "/>\n</Zelt>\n");
    }
    ~RecordingServer() { stop(); }

    // Writes plugins/<plugin>.conf.
    void configure(const std::string& plugin, const std::string& settings) {
        writeFile(root / ("plugins/" + plugin + ".conf"), settings);
    }

    void start() {
        cwd = std::make_unique<WorkingDirectory>(root.path());
        std::fflush(stdout);
        savedStdout = dup(STDOUT_FILENO);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        const int file = open((root / "output.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        copier = std::thread([reading = ends[0], file, terminal = savedStdout] {
            char buffer[4096];
            for (ssize_t got; (got = read(reading, buffer, sizeof(buffer))) > 0;) {
                (void)!write(file, buffer, static_cast<std::size_t>(got));
                (void)!write(terminal, buffer, static_cast<std::size_t>(got));
            }
            close(reading);
            close(file);
        });
        dup2(ends[1], STDOUT_FILENO);
        close(ends[1]);
        core = std::make_unique<Core>(wxFileName(root / "tessard"));
        core->start();
    }

    void stop() {
        if (!core) return;
        core->stop();
        core.reset();
        std::fflush(stdout);
        dup2(savedStdout, STDOUT_FILENO); /* closes the pipe's last writing end */
        close(savedStdout);
        copier.join();
        cwd.reset();
    }

    // The core's throttling flag, as its memory monitor would switch it.
    void throttle(bool on) { core->monitor().throttlingSwitch().store(on); }

    std::string output() const { return readFile(root / "output.txt"); }

    // Polls the plugins' lines until `done` holds for them.
    bool waitFor(const std::function<bool(const std::string&)>& done,
                 std::chrono::seconds limit = std::chrono::seconds(120)) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done(output())) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }

    std::string operator/(const std::string& name) const { return root / name; }

private:
    TempDir root;
    std::unique_ptr<WorkingDirectory> cwd;
    std::unique_ptr<Core> core;
    int savedStdout = -1;
    std::thread copier;
};
