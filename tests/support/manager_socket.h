// A service manager of the test's own: an AF_UNIX datagram socket, bound at
// a path the test hands the server as NOTIFY_SOCKET, whose datagrams the
// test reads one by one.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "temp_dir.h"

class ManagerSocket {
public:
    ManagerSocket() {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
        bound = bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~ManagerSocket() { close(descriptor); }

    ManagerSocket(const ManagerSocket&) = delete;
    ManagerSocket& operator=(const ManagerSocket&) = delete;

    bool ready() const { return bound; }
    const std::string& path() const { return socketPath; }

    // The next datagram, or "" after `limit` without one.
    std::string receive(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        pollfd readable{descriptor, POLLIN, 0};
        char text[8192];
        const ssize_t got = poll(&readable, 1, static_cast<int>(limit.count())) == 1
                                ? recv(descriptor, text, sizeof text, 0)
                                : 0;
        return std::string(text, got > 0 ? static_cast<std::size_t>(got) : 0);
    }

private:
    TempDir scratch;
    const std::string socketPath = scratch / "notify";
    const int descriptor = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool bound = false;
};
