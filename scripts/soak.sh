#!/bin/sh
# The long run of the stress test: builds the stress test in the builds it is
# asked for (the plain build by default; "asan" and "tsan" are the two
# sanitizer builds, as in scripts/test.sh) and runs it in each, one after
# the other, with the load lasting the given number of seconds (600 by
# default). Not part of scripts/test.sh or CI: a soak takes minutes.
#
#   scripts/soak.sh [seconds] [normal|asan|tsan ...]
#
# Each run's output, with the figures the test prints, is also kept in
# build/<variant>/soak.log. A failed check, a sanitizer finding or a hang
# (the test's own watchdog) ends the script with a non-zero status.
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-600}
[ $# -gt 0 ] && shift
variants=${*:-normal}

./scripts/install-deps.sh

for variant in $variants; do
    case "$variant" in
        normal) sanitizer=none ;;
        asan) sanitizer=address ;;
        tsan) sanitizer=thread ;;
        *) echo "unknown build: $variant (normal, asan or tsan)" >&2; exit 2 ;;
    esac
    directory="build/$variant"
    echo "=== $directory ($sanitizer): $seconds s of load"
    cmake -S . -B "$directory" -DTESSARD_SANITIZER="$sanitizer" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$directory" -j "$(nproc)" --target stress_tests
    ASAN_OPTIONS=abort_on_error=0:detect_leaks=1:halt_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    TESSARD_STRESS_SECONDS="$seconds" \
        "$directory/tests/stress_tests" 2>&1 | tee "$directory/soak.log"
    # The status of the test, not of tee.
    grep -q '^\[  PASSED  \] 1 test' "$directory/soak.log" || {
        echo "=== the soak failed in $directory" >&2
        exit 1
    }
done
echo "=== every soak passed"
