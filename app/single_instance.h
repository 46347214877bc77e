// The claim to be the only copy of the server that runs.
//
// Two signs tell that another copy runs: the toolkit's lock file "Quillon" in
// the home directory names a live process, or libdaemon's PID file for
// "tessard" names a live process other than this one. The lock file holds
// the PID of the process that made it and is removed by that process's
// claim when it ends; so a daemon must make its claim only after it has
// forked, and no claim may exist in a process that forks.
#pragma once

#include <wx/defs.h>
#include <wx/snglinst.h>

#include <memory>

class SingleInstance {
public:
    enum class Outcome { Claimed, AnotherRunning, Failed };

    // Takes the claim for this process. AnotherRunning when another copy
    // runs; Failed, with the toolkit's reason logged, when the lock file
    // cannot be made or read.
    Outcome claim();
    // Gives the claim up; the lock file is removed.
    void release() { checker.reset(); }

    // Logs the refusal of a second copy.
    static void reportAnotherRunning();

private:
    std::unique_ptr<wxSingleInstanceChecker> checker;
};

// The PID that libdaemon's PID file for "tessard" names, if that process is
// alive and is not this one; else 0. A stale file is removed.
pid_t runningDaemon();
