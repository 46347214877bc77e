#!/bin/sh
# Builds tessard and the example plugins, which the build puts into the
# plugins directory beside the executable (build/normal/plugins), and starts
# the server in the foreground from the build folder. Enter or Ctrl-C stops
# it; both run the full stop sequence, so every recording is complete.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build/normal -DTESSARD_SANITIZER=none -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/normal -j "$(nproc)" --target demo
echo "=== build/normal/tessard -d, plugins in build/normal/plugins; Enter or Ctrl-C stops it"
exec build/normal/tessard -d
