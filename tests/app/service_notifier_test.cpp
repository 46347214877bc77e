// ServiceNotifier against a service manager of the test's own: an AF_UNIX
// datagram socket named by NOTIFY_SOCKET.

#include "app/service_notifier.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <memory>

#include "manager_socket.h"

namespace {

using namespace std::chrono_literals;

// The test's own manager, named by NOTIFY_SOCKET while it lives.
class ManagerSocket : public ::ManagerSocket {
public:
    ManagerSocket() {
        EXPECT_TRUE(ready());
        setenv("NOTIFY_SOCKET", path().c_str(), 1);
    }
    ~ManagerSocket() { unsetenv("NOTIFY_SOCKET"); }
};

// Catches: a notifier that sends or fails without NOTIFY_SOCKET, or starts
// talking when the variable appears later (anything it sent would come
// first); the daemon child refused its watchdog because WATCHDOG_PID names
// the launcher (as sd_watchdog_enabled() would); a status whose line break
// starts a notification of its own (a plugin named "x\nSTOPPING=1" would
// stop the service); a status over systemd's 4096-byte datagram (dropped
// whole) or cut inside a UTF-8 character; a wrong keyword.
TEST(ServiceNotifier, SendsExactDatagramsOnlyWhenTheManagerListens) {
    setenv("WATCHDOG_USEC", "20000000", 1);
    setenv("WATCHDOG_PID", std::to_string(getppid()).c_str(), 1);
    auto silent = std::make_unique<ServiceNotifier>();
    EXPECT_FALSE(silent->enabled());
    EXPECT_EQ(silent->watchdogInterval(), 0s);
    ManagerSocket manager;
    silent->status("must not arrive");
    silent->stopping();
    silent.reset();

    ServiceNotifier notifier;
    EXPECT_EQ(notifier.watchdogInterval(), 20s);
    notifier.status("4 plugins, 250 events/s");
    EXPECT_EQ(manager.receive(), "STATUS=4 plugins, 250 events/s");
    notifier.status("evil.so\nSTOPPING=1");
    EXPECT_EQ(manager.receive(), "STATUS=evil.so STOPPING=1");
    std::string accents;
    for (int i = 0; i < 3000; ++i) accents += "\xC3\xA9";
    notifier.status(accents);
    EXPECT_EQ(manager.receive(), "STATUS=" + accents.substr(0, ServiceNotifier::kStatusLimit));
    notifier.watchdog();
    EXPECT_EQ(manager.receive(), "WATCHDOG=1");
    notifier.stopping();
    EXPECT_EQ(manager.receive(), "STOPPING=1");

    for (const char* malformed : {"", "twenty", "-5", "20s"}) {
        setenv("WATCHDOG_USEC", malformed, 1);
        EXPECT_EQ(ServiceNotifier().watchdogInterval(), 0s) << malformed;
    }
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
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
    EXPECT_EQ(calls.wait_for(60s), std::future_status::ready) << "the calls waited";
    int received = 0;
    for (std::string text = manager.receive(); !text.empty(); text = manager.receive()) {
        ++received;
        if (text == "STATUS=latest\nWATCHDOG=1") break;
    }
    EXPECT_LT(received, kCalls);
    calls.wait();
}

}  // namespace
