// Starting the real executable in the foreground for a test, on a machine
// where other test runs may start daemons.
//
// A running daemon's PID file (/var/run/tessard.pid, shared by every copy of
// the server on the machine) makes a foreground start refuse with "Quillon
// is already running." The tests here are not about that refusal: when a
// start is refused because another copy runs, it is repeated once that copy
// is gone, for up to three minutes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "server_process.h"

inline pid_t daemonInPidFile() {
    std::ifstream file("/var/run/tessard.pid");
    pid_t pid = 0;
    return file >> pid ? pid : 0;
}

// Starts the server and returns it once it is running ("press any key to
// stop the core" printed); null, with a test failure, when it did not get
// there.
inline std::unique_ptr<ServerProcess> startForeground(const ServerOptions& options,
                                                      const std::string& outputDir) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    for (;;) {
        auto server = std::make_unique<ServerProcess>(options, outputDir);
        const auto started = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < started) {
            if (server->output().find("press any key to stop the core") != std::string::npos) {
                return server;
            }
            if (server->wait(std::chrono::milliseconds(50))) break;
        }
        const std::optional<int> status = server->wait(std::chrono::milliseconds(0));
        const bool refused = status == 255 &&
                             server->errors().find("already running") != std::string::npos;
        if (!refused || std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the server did not start\n" << server->output() << server->errors();
            return nullptr;
        }
        // The other copy may already be gone; then the next start goes ahead.
        const pid_t other = daemonInPidFile();
        if (other != 0) waitUntilGone(other, std::chrono::seconds(60));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}
