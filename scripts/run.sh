#!/bin/sh
# Builds tessard and starts it in the foreground from the build folder, with
# its plugins directory beside the executable. Press Enter or Ctrl-C to stop.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build/normal -DTESSARD_SANITIZER=none -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build/normal -j "$(nproc)"
exec build/normal/tessard -d
