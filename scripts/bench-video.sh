#!/bin/sh
# W5, real cameras: builds the server and the example plugins (a plain
# RelWithDebInfo build with tcmalloc, in build/bench-video) and records M
# cameras of pre-encoded 1080p H.264 through the server and through a
# GStreamer-only peer (bench/video/w5.sh says how).
#
#   scripts/bench-video.sh                       the full run; publishes
#                                                bench/video/results/
#   scripts/bench-video.sh --cameras "4 8" --seconds 20
#                                                a quick look (results in
#                                                build/bench-video/w5-results)
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/install-packages.sh gnuplot-nox time bc
cmake -S . -B build/bench-video -DTESSARD_SANITIZER=none -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSARD_BUILD_TESTS=OFF
cmake --build build/bench-video -j "$(nproc)" --target demo
results=bench/video/results
[ $# -gt 0 ] && results=build/bench-video/w5-results
exec sh bench/video/w5.sh build/bench-video "$results" "$@"
