#!/bin/sh
# Installs the Debian 12 packages the message-path benchmark needs beyond
# those of install-deps.sh: ZeroMQ and GStreamer (with appsrc and appsink,
# which live in the base plugins) for the peer contenders, and gnuplot for
# the plots. Does nothing when every package is already present.
set -eu

PACKAGES="libzmq3-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev \
gstreamer1.0-plugins-base gnuplot-nox"

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
