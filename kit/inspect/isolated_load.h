// Loading a plugin library in a child process, so that a crash or a hang in
// its constructors or its Load is reported rather than suffered.
//
// The parent forks a child in a process group of its own (runLoadChild),
// reads the child's records from a pipe until the child ends or the time is
// up, then kills the group if it must and collects the child's status. The
// plugin's standard output goes to the inspector's standard error, so that
// the inspector's own output stays as it prints it. Main thread only.
#pragma once

#include <chrono>
#include <string>

#include "kit/inspect/findings.h"

namespace kit {

// `path` is taken from the working directory when it is relative.
LoadFindings loadIsolated(const std::string& path, std::chrono::seconds timeout);

}  // namespace kit
