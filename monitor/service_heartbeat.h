// ServiceHeartbeat: what the housekeeping thread tells the service manager
// that supervises the server: that it is alive, and a line of how it fares.
// The daemon passes one; without it (the foreground, the tests) nothing is
// told. Calls return at once; the housekeeping thread never waits on the
// manager.
#pragma once

#include <chrono>
#include <string>

class ServiceHeartbeat {
public:
    virtual ~ServiceHeartbeat() = default;
    // The manager's watchdog interval; zero when it keeps none.
    virtual std::chrono::microseconds watchdogInterval() const = 0;
    // The server is not stuck.
    virtual void watchdog() = 0;
    // One line for the manager's status display.
    virtual void status(const std::string& text) = 0;
};
