// Makes the test process the subreaper of everything it starts, for the
// scope: a daemon, orphaned when the launcher's intermediate process ends,
// becomes the test's child instead of init's, so the test can learn how it
// exited and need not wait for init to reap it.
//
// Only one test at a time may hold one, and only in its own scope: while it
// is held, every orphan of the test's processes must be reaped by the test.
// The DaemonGuard reaps those it kills.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>

class Subreaper {
public:
    Subreaper();
    ~Subreaper();

    Subreaper(const Subreaper&) = delete;
    Subreaper& operator=(const Subreaper&) = delete;

    // Whether the system took the request.
    bool active() const { return isActive; }

    // The exit status of the adopted process `pid` (128 + signal when a
    // signal ended it) once it has ended, or nothing after `limit`. A
    // daemon becomes the test's child only once the launcher's intermediate
    // process has ended, so a pid that is no child yet is waited for too.
    // The bound is generous: a sanitizer build's daemon on a loaded machine
    // may take many seconds to stop.
    std::optional<int> reap(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(120));

private:
    bool isActive;
};
