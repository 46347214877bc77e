// The foreground run mode (-d): for diagnosis at a console.
//
// Besides a key press and the end of input, SIGINT, SIGTERM and SIGQUIT also
// stop the server the orderly way, so that Ctrl-C at the console closes and
// unloads every plugin and no recording is cut short.

#include <poll.h>
#include <unistd.h>
#include <wx/intl.h>
#include <wx/log.h>

#include <cerrno>
#include <cstdio>

#include "app/close_on_exec.h"
#include "app/core.h"
#include "app/crash_report.h"
#include "app/daemon_identity.h"
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
//
// poll, not select: ThreadSanitizer runs a signal handler at once only while
// the thread is inside a call it intercepts, and it intercepts poll but not
// select. With select the handler stayed pending for good, so Ctrl-C never
// reached the signal queue in that build.
void waitForStop(SignalQueue& signals) {
    for (;;) {
        // A negative descriptor is skipped by poll.
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0},
                             {signals.registered() ? signals.descriptor() : -1, POLLIN, 0}};
        const int ready = poll(watched, 2, -1);
        if (ready < 0 && errno == EINTR) continue;
        // A closed standard input counts as its end.
        if (ready < 0 || watched[0].revents != 0) {
            std::getc(stdin);
            return;
        }
        if ((watched[1].revents & POLLIN) != 0 &&
            signals.take() != SignalQueue::Verdict::Ignore) {
            return;
        }
    }
}

}  // namespace

int runForeground(Core& core) {
    installCrashReport(kDaemonIdentifier);
    say(_("starting the core...\n"));
    SignalQueue signals;
    if (!signals.registered()) wxLogSysError("Could not register signal handlers");
    markDescriptorsCloseOnExec();
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
