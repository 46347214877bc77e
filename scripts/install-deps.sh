#!/bin/sh
# Installs the Debian 12 packages that building and testing tessard need.
# Does nothing when every package is already present, so repeated runs are cheap.
set -eu

# The last line: what the packaging tests use (cpack's dependency scan,
# systemd-analyze, man and groff).
PACKAGES="build-essential cmake pkg-config libwxgtk3.2-dev libtinyxml-dev \
libdaemon-dev libgoogle-perftools-dev libgtest-dev libgmock-dev \
file systemd man-db groff-base"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
else
    SUDO="sudo"
fi
echo "installing:$missing"
$SUDO apt-get update
# $missing is a list of words on purpose.
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
