// The identifier the server uses with libdaemon and syslog: "tessard". It
// names the PID file (libdaemon's default location for it) and tags every
// syslog record.
#pragma once

constexpr char kDaemonIdentifier[] = "tessard";

// Makes libdaemon's PID file and log use the identifier.
void useDaemonIdentity();
