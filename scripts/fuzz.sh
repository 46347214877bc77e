#!/bin/sh
# Searches for inputs that break the settings reader, the router and the
# loader: builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/fuzz and runs each for a set time.
#
#   scripts/fuzz.sh [seconds per target] [target ...]
#
# The default is 600 seconds for each of settings, router and loader. Each
# target starts from its seed corpus in tests/fuzz/corpus/<target> and keeps
# what it finds in build/fuzz/corpus/<target>; an input that fails a check
# or crashes is saved in build/fuzz/findings/. Not part of scripts/test.sh,
# which replays the seed corpora in its own three builds.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=${*:-settings router loader}

./scripts/install-deps.sh
./scripts/install-packages.sh clang libclang-rt-14-dev

# Absolute paths: a target may change its working directory.
build="$(pwd)/build/fuzz"
seeds="$(pwd)/tests/fuzz/corpus"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSARD_SANITIZER=address -DTESSARD_LIBFUZZER=ON
for target in $targets; do
    cmake --build "$build" -j "$(nproc)" --target "${target}_fuzz"
done

mkdir -p "$build/findings"
status=0
for target in $targets; do
    corpus="$build/corpus/$target"
    mkdir -p "$corpus"
    log="$build/$target.log"
    echo "=== $target: $seconds s"
    if "$build/tests/fuzz/${target}_fuzz" "$corpus" "$seeds/$target" \
        -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$target-" >"$log" 2>&1; then
        echo "$target: nothing found"
    else
        echo "$target: a finding; see $log and $build/findings/"
        status=1
    fi
    grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss_mb)" "$log" || true
    echo "$target: $(ls "$corpus" | wc -l) inputs in $corpus"
done
exit $status
