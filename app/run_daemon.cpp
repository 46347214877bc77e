// The daemon run mode: fork with libdaemon, report the daemon's start to the
// waiting parent through the return-value pipe, keep a PID file, log to
// syslog, and run until a stop signal.
//
// Every path of the daemon sends the parent a value before it can end, so
// the parent never waits out its 60 seconds for nothing.

#include <libdaemon/dfork.h>
#include <libdaemon/dpid.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <wx/intl.h>
#include <wx/log.h>

#include <cerrno>
#include <memory>

#include "app/close_on_exec.h"
#include "app/core.h"
#include "app/crash_report.h"
#include "app/daemon_identity.h"
#include "app/log_syslog.h"
#include "app/run_modes.h"
#include "app/service_notifier.h"
#include "app/signal_queue.h"
#include "app/single_instance.h"
#include "plugins/version.h"

namespace {

// What the daemon tells the parent.
enum DaemonReply : int {
    kStarted = 0,
    kNoPidFile = 1,
    kNoSignals = 2,
    kNotStarted = 3,
    kShutDown = -1,
};

constexpr int kParentWaitSeconds = 60;

// The parent's side: its exit status is the daemon's first reply.
int awaitDaemon() {
    const int reply = daemon_retval_wait(kParentWaitSeconds);
    if (reply < 0) {
        wxLogError("%s", _("Timeout waiting for service to signal that it is running."));
        wxLogError("%s",
                   _("Please verify that the service is responding by connecting to it with a client."));
        return 255;
    }
    if (reply != kStarted) wxLogError(_("Daemon returned %i"), reply);
    return reply;
}

// The daemon logs to syslog while it runs; the toolkit's target comes back
// for the process's last moments.
class SyslogScope {
public:
    SyslogScope()
        : target(std::make_unique<wxLogSyslog>(kDaemonIdentifier)),
          previous(wxLog::SetActiveTarget(target.get())) {}
    ~SyslogScope() { wxLog::SetActiveTarget(previous); }

private:
    std::unique_ptr<wxLogSyslog> target;
    wxLog* previous;
};

// libdaemon closes the pipe once it has carried a value, so the parent only
// ever learns the first; later values reach nobody and are harmless. The
// first one fails when the launcher has stopped waiting (after its 60
// seconds, or killed): with SIGPIPE ignored that is only an error here, and
// the daemon runs on, as the launcher's own time-out message says it may.
void sendToParent(int reply) {
    static bool answered = false;
    if (answered) {
        daemon_retval_send(reply);
        return;
    }
    answered = true;
    if (daemon_retval_send(reply) != 0) {
        wxLogWarning("%s", "The launcher no longer waits for the daemon's start; the daemon runs on.");
    }
}

class DaemonChild {
public:
    DaemonChild(Core& core, const wxFileName& exePath, SingleInstance& instance)
        : core(core), exePath(exePath), instance(instance) {}

    int run();

private:
    bool claimInstance();
    void createPidFile();
    void waitForStopSignal();
    int shutDown(int status);

    Core& core;
    const wxFileName& exePath;
    SingleInstance& instance;
    SyslogScope syslog;
    std::unique_ptr<SignalQueue> signals;
    // Tells the service manager, when one listens, how the server fares.
    std::unique_ptr<ServiceNotifier> serviceManager;
    bool pidFileCreated = false;
};

int DaemonChild::run() {
    if (!claimInstance()) {
        sendToParent(kNotStarted);
        return shutDown(kNotStarted);
    }
    createPidFile();
    signals = std::make_unique<SignalQueue>();
    if (!signals->registered()) {
        wxLogSysError("Could not register signal handlers");
        sendToParent(kNoSignals);
        return shutDown(kNoSignals);
    }
    markDescriptorsCloseOnExec();
    serviceManager = std::make_unique<ServiceNotifier>();
    core.monitor().setHeartbeat(serviceManager.get());
    if (!core.start()) {
        wxLogSysError("Service routine did not start.");
        sendToParent(kNotStarted);
        return shutDown(0);
    }
    wxLogMessage("Successfully started version %d.%d.%d.%d", version::kMajor, version::kMinor,
                 version::kRelease, version::kBuild);
    core.plugins().logPluginTable();
    sendToParent(kStarted);
    waitForStopSignal();
    return shutDown(0);
}

// Two copies started at once both pass the parent's check; the one that
// forks second finds the other's claim here.
bool DaemonChild::claimInstance() {
    switch (instance.claim()) {
        case SingleInstance::Outcome::Claimed:
            return true;
        case SingleInstance::Outcome::AnotherRunning:
            SingleInstance::reportAnotherRunning();
            return false;
        case SingleInstance::Outcome::Failed:
            return false;
    }
    return false;
}

void DaemonChild::createPidFile() {
    pidFileCreated = daemon_pid_file_create() == 0;
    if (pidFileCreated) return;
    wxLogSysError("Could not create PID file");
    sendToParent(kNoPidFile);
}

void DaemonChild::waitForStopSignal() {
    const int signalFd = signals->descriptor();
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(signalFd, &readable);
        if (select(FD_SETSIZE, &readable, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            wxLogSysError("select() failed.");
            return;
        }
        if (FD_ISSET(signalFd, &readable) && signals->take() != SignalQueue::Verdict::Ignore) {
            return;
        }
    }
}

int DaemonChild::shutDown(int status) {
    if (serviceManager) serviceManager->stopping();
    core.stop();
    sendToParent(kShutDown);
    if (signals) signals->close();
    if (pidFileCreated) daemon_pid_file_remove();
    wxLogMessage("Done");
    return status;
}

}  // namespace

int runDaemon(Core& core, const wxFileName& exePath, SingleInstance& instance) {
    useDaemonIdentity();
    if (daemon_retval_init() < 0) {
        wxLogSysError("Could not create the pipe to the daemon");
        return 255;
    }
    const pid_t pid = daemon_fork();
    if (pid < 0) {
        const int error = errno;
        daemon_retval_done();
        return error;
    }
    if (pid > 0) return awaitDaemon();

    // The daemon: descriptors the launcher had stay behind, files it writes
    // are readable by all, and it works beside its executable.
    daemon_close_all(-1);
    installCrashReport(kDaemonIdentifier);
    umask(022);
    wxSetWorkingDirectory(exePath.GetPath(wxPATH_GET_VOLUME));
    return DaemonChild(core, exePath, instance).run();
}
