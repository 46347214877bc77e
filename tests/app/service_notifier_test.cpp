// ServiceNotifier against a service manager of the test's own: an AF_UNIX
// datagram socket named by NOTIFY_SOCKET, read with the sender's credentials
// as systemd reads them.

#include "app/service_notifier.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <optional>

#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;

struct Datagram {
    std::string text;
    pid_t sender = 0;
};

class ManagerSocket {
public:
    ManagerSocket() : descriptor(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        const int on = 1;
        if (bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            setsockopt(descriptor, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
            ADD_FAILURE() << "no socket at " << path;
        }
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~ManagerSocket() {
        unsetenv("NOTIFY_SOCKET");
        close(descriptor);
    }

    std::optional<Datagram> receive(int timeoutMs = 30000) {
        pollfd ready{descriptor, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) != 1) return std::nullopt;
        char text[8192];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        iovec part{text, sizeof text};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = recvmsg(descriptor, &message, 0);
        if (got < 0) return std::nullopt;
        Datagram datagram{std::string(text, got)};
        const cmsghdr* credentials = CMSG_FIRSTHDR(&message);
        if (credentials != nullptr && credentials->cmsg_type == SCM_CREDENTIALS) {
            datagram.sender = reinterpret_cast<const ucred*>(CMSG_DATA(credentials))->pid;
        }
        return datagram;
    }

private:
    TempDir scratch;
    const std::string path = scratch / "notify";
    const int descriptor;
};

// Catches: a status whose line break starts a notification of its own (a
// plugin named "x\nSTOPPING=1" would stop the service), a status longer
// than systemd's 4096-byte datagram (dropped whole) or cut inside a UTF-8
// character, a wrong keyword, and a sender other than the calling process,
// which NotifyAccess=main refuses.
TEST(ServiceNotifier, SendsEachNotificationAsOneExactDatagramFromTheDaemonItself) {
    ManagerSocket manager;
    ServiceNotifier notifier;
    ASSERT_TRUE(notifier.enabled());
    const auto expect = [&manager](const std::string& text) {
        const std::optional<Datagram> datagram = manager.receive();
        ASSERT_TRUE(datagram) << "no datagram; expected " << text;
        EXPECT_EQ(datagram->text, text);
        EXPECT_EQ(datagram->sender, getpid());
    };
    notifier.status("4 plugins, 250 events/s, slowest p99 3 ms (recorder.so)");
    expect("STATUS=4 plugins, 250 events/s, slowest p99 3 ms (recorder.so)");
    notifier.status("evil.so\nSTOPPING=1");
    expect("STATUS=evil.so STOPPING=1");
    std::string accents;
    for (int i = 0; i < 3000; ++i) accents += "\xC3\xA9";
    notifier.status(accents);
    expect("STATUS=" + accents.substr(0, ServiceNotifier::kStatusLimit));
    notifier.watchdog();
    expect("WATCHDOG=1");
    notifier.stopping();
    expect("STOPPING=1");
}

// Catches: a housekeeping thread that hangs while the service manager does
// not read (systemd busy with a reload), and a backlog that grows with every
// call instead of merging into the latest status and one keep-alive.
TEST(ServiceNotifier, NeverWaitsForAManagerThatDoesNotReadAndMergesWhatPilesUp) {
    ManagerSocket manager;
    ServiceNotifier notifier;
    constexpr int kCalls = 500;
    std::future<void> calls = std::async(std::launch::async, [&notifier] {
        for (int i = 0; i < kCalls; ++i) {
            notifier.status("status " + std::to_string(i));
            notifier.watchdog();
        }
        notifier.status("latest");
        notifier.watchdog();
    });
    const bool returned = calls.wait_for(60s) == std::future_status::ready;
    EXPECT_TRUE(returned) << "the calls waited for the manager";
    int received = 0;
    for (std::optional<Datagram> datagram; (datagram = manager.receive());) {
        ++received;
        if (datagram->text == "STATUS=latest\nWATCHDOG=1") break;
    }
    EXPECT_LT(received, kCalls);
    calls.wait();
}

// Catches: the daemon child refused its watchdog because WATCHDOG_PID names
// the launcher (as sd_watchdog_enabled() would), and a malformed interval
// taken as a watchdog.
TEST(ServiceNotifier, TakesTheWatchdogIntervalWhateverProcessWatchdogPidNames) {
    ManagerSocket manager;
    setenv("WATCHDOG_PID", std::to_string(getppid()).c_str(), 1);
    setenv("WATCHDOG_USEC", "20000000", 1);
    EXPECT_EQ(ServiceNotifier().watchdogInterval(), 20s);
    for (const char* malformed : {"", "twenty", "-5", "20s"}) {
        setenv("WATCHDOG_USEC", malformed, 1);
        EXPECT_EQ(ServiceNotifier().watchdogInterval(), 0s) << malformed;
    }
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
}

// Catches: a notifier that sends, fails or blocks without a service manager,
// or that starts talking halfway through a run when NOTIFY_SOCKET appears
// later (a plugin could set it). Anything the silent notifier sent would be
// in the socket before the other notifier's "STOPPING=1".
TEST(ServiceNotifier, SaysNothingWithoutNotifySocket) {
    unsetenv("NOTIFY_SOCKET");
    setenv("WATCHDOG_USEC", "20000000", 1);
    auto silent = std::make_unique<ServiceNotifier>();
    EXPECT_FALSE(silent->enabled());
    EXPECT_EQ(silent->watchdogInterval(), 0s);
    ManagerSocket manager;
    silent->status("must not arrive");
    silent->watchdog();
    silent.reset();
    ServiceNotifier().stopping();
    const std::optional<Datagram> first = manager.receive();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->text, "STOPPING=1");
    unsetenv("WATCHDOG_USEC");
}

}  // namespace
