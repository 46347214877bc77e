// The foreground run mode (-d): for diagnosis at a console.
//
// Besides a key press and the end of input, SIGINT, SIGTERM and SIGQUIT also
// stop the server the orderly way, so that Ctrl-C at the console closes and
// unloads every plugin and no recording is cut short.

#include <sys/select.h>
#include <unistd.h>
#include <wx/intl.h>
#include <wx/log.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "app/core.h"
#include "app/run_modes.h"
#include "app/signal_queue.h"

namespace {

// Console text goes to standard output as it is, never as a format.
void say(const wxString& text) {
    std::fputs(text.utf8_str(), stdout);
    std::fflush(stdout);
}

// Blocks until a key (a line, on a terminal), the end of input or a stop
// signal arrives.
void waitForStop(SignalQueue& signals) {
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(STDIN_FILENO, &readable);
        const int signalFd = signals.registered() ? signals.descriptor() : -1;
        if (signalFd >= 0) FD_SET(signalFd, &readable);
        const int ready = select(std::max(signalFd, STDIN_FILENO) + 1, &readable, nullptr,
                                 nullptr, nullptr);
        if (ready < 0 && errno == EINTR) continue;
        // A closed standard input counts as its end.
        if (ready < 0 || FD_ISSET(STDIN_FILENO, &readable)) {
            std::getc(stdin);
            return;
        }
        if (signalFd >= 0 && FD_ISSET(signalFd, &readable) &&
            signals.take() != SignalQueue::Verdict::Ignore) {
            return;
        }
    }
}

}  // namespace

int runForeground(Core& core) {
    say(_("starting the core...\n"));
    SignalQueue signals;
    if (!signals.registered()) wxLogSysError("Could not register signal handlers");
    if (!core.start()) {
        wxLogError("%s", _("Core did not start."));
        return 1;
    }
    say(_("\npress any key to stop the core\n\n"));
    waitForStop(signals);
    say(_("\nstopping the core...\n\n"));
    core.stop();
    return 0;
}
