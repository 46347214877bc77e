// The probes of the running test, by file name. A test registers a probe
// before the Core loads the copy of that name; tessardTestProbe() hands it
// to the copy when it loads.
#pragma once

#include <string>

#include "probe.h"

// The control for the probe copy `fileName`, made on first use.
ProbeControl& probeNamed(const std::string& fileName);
// Forgets every probe; the next test starts afresh.
void forgetProbes();
