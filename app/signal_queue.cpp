#include "app/signal_queue.h"

#include <libdaemon/dsignal.h>
#include <signal.h>
#include <wx/log.h>

// SIGHUP is queued as well, so that a hang-up (a closed terminal, a service
// manager's reload) is logged and ignored instead of ending the server
// without its stop sequence.
SignalQueue::SignalQueue()
    : isRegistered(daemon_signal_init(SIGINT, SIGTERM, SIGQUIT, SIGHUP, 0) == 0) {}

void ignoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

int SignalQueue::descriptor() const { return daemon_signal_fd(); }

void SignalQueue::close() {
    if (!isRegistered) return;
    daemon_signal_done();
    isRegistered = false;
}

SignalQueue::Verdict SignalQueue::take() {
    const int signal = daemon_signal_next();
    if (signal <= 0) {
        wxLogSysError("daemon_signal_next() failed.");
        return Verdict::Failed;
    }
    if (signal == SIGINT || signal == SIGQUIT || signal == SIGTERM) {
        wxLogMessage("Received signal %i, Exiting...", signal);
        return Verdict::Stop;
    }
    wxLogWarning("Received signal %i but did nothing with it.", signal);
    return Verdict::Ignore;
}
