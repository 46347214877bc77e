// The crash report: one line naming the plugin that crashed the server.
//
// A plugin runs inside the server's process, so a plugin that crashes takes
// the server down. That is not survived; but before the process dies, a
// handler for the fatal signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT,
// SIGSYS, SIGTRAP) writes one line, to standard error and to the system log,
// naming the plugin file and the entry point the crashing thread was in
// (see plugins/call_site.h), or saying that no plugin call was running.
// Then the signal takes its course as before: the handler that was in place
// (the default, or a sanitizer's) gets it again.
//
// Only async-signal-safe calls are made in the handler: the line is put
// together by hand and written with write(2), and the system log gets it as
// a datagram on a socket connected to /dev/log beforehand, since syslog(3)
// may not be called there. Installed by the run modes on the main thread,
// after a daemon has closed the descriptors it inherited.
#pragma once

// Installs the handlers; `ident` tags the system log's line (kept, not copied).
void installCrashReport(const char* ident);
