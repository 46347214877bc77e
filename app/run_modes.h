// The two ways the server runs. Each starts the Core, waits for the order to
// stop, stops the Core and returns the process's exit status. Main thread.
#pragma once

#include <wx/filename.h>

class Core;
class SingleInstance;

// In the foreground: stops on a key, at the end of input, or on SIGINT,
// SIGTERM or SIGQUIT. 0, or 1 when the Core does not start.
int runForeground(Core& core);

// As a daemon: forks; the parent waits up to 60 seconds for the daemon's
// verdict and returns it; the daemon claims the single instance, writes its
// PID file and runs until SIGINT, SIGTERM or SIGQUIT.
int runDaemon(Core& core, const wxFileName& exePath, SingleInstance& instance);
