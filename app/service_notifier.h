// ServiceNotifier: what the daemon tells the service manager through
// libsystemd's sd_notify: a one-line status ("STATUS=..."), the watchdog's
// keep-alive ("WATCHDOG=1") and the start of the stop ("STOPPING=1").
//
// Under systemd with Type=forking the daemon child is the service's main
// process (systemd reads its PID from the PID file), and NotifyAccess=main
// makes systemd hear that process only, so the notifications must come from
// the daemon itself. There is no "READY=1": with Type=forking systemd takes
// the launcher's exit, once the daemon has started its core, as the end of
// the start. Without NOTIFY_SOCKET in the environment the notifier is off:
// every call returns at once and nothing is sent.
//
// Threads: any thread may call status(), watchdog() and stopping(); the
// housekeeping thread calls them about ten times a second and must never
// wait on the service manager.
// sd_notify writes to a blocking datagram socket, which waits for as long as
// the manager's queue is full (systemd busy with a reload, say), so the calls
// only record what is to be said and a sender thread of the notifier's own
// says it. What piles up while the sender waits is merged: the latest status
// replaces older ones, and repeated keep-alives or stop notices are one.
// `pendingLock` guards `pending` and `closing`; it is held only to read or
// change them, never across sd_notify.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "monitor/service_heartbeat.h"

class ServiceNotifier : public ServiceHeartbeat {
public:
    // Reads NOTIFY_SOCKET and WATCHDOG_USEC once and starts the sender.
    // Construct it in the daemon child, after the fork (the sender thread
    // would not survive one), before any thread that could change the
    // environment starts.
    ServiceNotifier();
    // Sends what is still pending, then ends the sender. The wait is as long
    // as the service manager takes to read its socket.
    ~ServiceNotifier() override;

    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    // Whether a service manager listens (NOTIFY_SOCKET was set).
    bool enabled() const { return enabled_; }
    // The service's watchdog interval; zero when there is no watchdog (or
    // nobody listens). Keep-alives are due well within it: systemd kills
    // and, with Restart=on-failure, restarts a service that misses one.
    std::chrono::microseconds watchdogInterval() const override { return watchdogInterval_; }

    // "STATUS=<text>", shown by `systemctl status`. The text is cut to one
    // line of at most kStatusLimit bytes: a line break in it (a plugin's
    // file name, say) would otherwise start a notification of its own.
    void status(const std::string& text) override;
    // "WATCHDOG=1": the server is not stuck.
    void watchdog() override;
    // "STOPPING=1": the stop sequence has begun.
    void stopping();

    static constexpr std::size_t kStatusLimit = 1024;

private:
    // What the housekeeping thread asked for and the sender has not yet sent.
    struct Pending {
        std::optional<std::string> status;
        bool watchdog = false;
        bool stopping = false;
        bool empty() const { return !status && !watchdog && !stopping; }
    };

    template <typename Change>
    void post(Change change);
    void sendLoop();
    static std::string datagramOf(const Pending& pending);

    const bool enabled_;
    const std::chrono::microseconds watchdogInterval_;

    std::mutex pendingLock;
    std::condition_variable pendingChanged;
    Pending pending;       // guarded by pendingLock
    bool closing = false;  // guarded by pendingLock
    std::thread sender;    // runs only when enabled_
};
