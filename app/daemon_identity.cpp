#include "app/daemon_identity.h"

#include <libdaemon/dlog.h>
#include <libdaemon/dpid.h>

void useDaemonIdentity() {
    daemon_pid_file_ident = kDaemonIdentifier;
    daemon_log_ident = kDaemonIdentifier;
}
