#include "app/single_instance.h"

#include <libdaemon/dpid.h>
#include <unistd.h>
#include <wx/intl.h>
#include <wx/log.h>

#include "app/daemon_identity.h"

SingleInstance::Outcome SingleInstance::claim() {
    auto candidate = std::make_unique<wxSingleInstanceChecker>();
    // A lock file that cannot be made would let every copy run: refuse.
    if (!candidate->Create("Quillon")) return Outcome::Failed;
    if (candidate->IsAnotherRunning() || runningDaemon() != 0) return Outcome::AnotherRunning;
    checker = std::move(candidate);
    return Outcome::Claimed;
}

void SingleInstance::reportAnotherRunning() {
    wxLogError("%s", _("Quillon is already running.  Stop Quillon first."));
}

pid_t runningDaemon() {
    useDaemonIdentity();
    const pid_t pid = daemon_pid_file_is_running();
    return pid > 0 && pid != getpid() ? pid : 0;
}
