#!/bin/sh
# Installs the Debian 12 packages that building and testing tessard need: the
# compiler and build tools, the libraries the server links (libsystemd for
# its notices to the service manager), GoogleTest, what the packaging tests
# use (cpack's dependency scan, systemd-analyze, man and groff, lintian), and
# for the example plugins GStreamer with the elements they use (the test
# source, x264, the H.264 parser, RTSP, Matroska, PNG, the decoder) and its
# command-line tools, the RTSP server library the tests serve cameras with,
# ffmpeg, whose ffprobe the tests read recordings with, libmicrohttpd,
# which the metrics example serves its page with, and the JSON library
# tessard-inspect writes its --json report with.
#
# Then, apart, the two programs the metrics example's tests check its
# output with: promtool (in the prometheus package) and a headless browser
# (chromium). A machine that cannot install them still builds and runs
# everything; those tests then skip their checks and say why.
set -eu
here="$(dirname "$0")"
"$here/install-packages.sh" \
    build-essential cmake pkg-config libwxgtk3.2-dev libtinyxml-dev \
    libdaemon-dev libsystemd-dev libgoogle-perftools-dev libgtest-dev libgmock-dev \
    file systemd man-db groff-base lintian \
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-x \
    gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly \
    gstreamer1.0-libav gstreamer1.0-tools libgstrtspserver-1.0-dev ffmpeg \
    libmicrohttpd-dev nlohmann-json3-dev
"$here/install-packages.sh" prometheus chromium ||
    echo "install-deps: prometheus and chromium did not install; the metrics page tests will skip" >&2
