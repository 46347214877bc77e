#!/bin/sh
# Installs the Debian 12 packages that building and testing tessard need: the
# compiler and build tools, the libraries the server links (libsystemd for
# its notices to the service manager), GoogleTest, and on the last line what
# the packaging tests use (cpack's dependency scan, systemd-analyze, man and
# groff, lintian).
set -eu
exec "$(dirname "$0")/install-packages.sh" \
    build-essential cmake pkg-config libwxgtk3.2-dev libtinyxml-dev \
    libdaemon-dev libsystemd-dev libgoogle-perftools-dev libgtest-dev libgmock-dev \
    file systemd man-db groff-base lintian
