#!/bin/sh
# Installs the Debian 12 packages the message-path benchmark needs beyond
# those of install-deps.sh: ZeroMQ and GStreamer (with appsrc and appsink,
# which live in the base plugins) for the peer contenders, gnuplot for
# the plots, and GSL for the statistics over the rounds.
set -eu
exec "$(dirname "$0")/install-packages.sh" \
    libzmq3-dev libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev \
    gstreamer1.0-plugins-base gnuplot-nox libgsl-dev
