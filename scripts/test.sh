#!/bin/sh
# Builds tessard three ways and runs the whole test suite in each: the plain
# build (tcmalloc as the allocator), AddressSanitizer with
# UndefinedBehaviorSanitizer, and ThreadSanitizer. A failing test or a
# sanitizer finding in any of them ends the run with a non-zero status.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc)
for variant in normal:none asan:address tsan:thread; do
    directory="build/${variant%%:*}"
    sanitizer="${variant#*:}"
    echo "=== $directory ($sanitizer)"
    cmake -S . -B "$directory" -DTESSARD_SANITIZER="$sanitizer" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$directory" -j "$jobs"
    ctest --test-dir "$directory" -j "$jobs" --output-on-failure --timeout 300
done
echo "=== all test runs passed"
