#!/bin/sh
# Builds the message-path benchmark (a plain RelWithDebInfo build with
# tcmalloc, in build/bench) and runs it. Every option is the harness's, but
# --compare-rev and --self-test:
#
#   scripts/bench.sh                      the full run (about 25 minutes): 15 ratio
#                                         rounds of W1 and W3 K=32 against ZeroMQ,
#                                         5 rounds of every workload and contender;
#                                         publishes bench/results and docs/performance.md
#   scripts/bench.sh --quick              8 ratio rounds only (about 3 minutes)
#   scripts/bench.sh --rounds 1 --workloads W1 --contenders tessard,zmq-bounded
#                                         a quick look (results in build/bench)
#   scripts/bench.sh --compare-build DIR  this build's server against the one built in
#                                         DIR, alternately, 15 rounds of W1 and W3 K=32
#   scripts/bench.sh --compare-rev REV    the same against git revision REV, built
#                                         the same way in build/bench-compare
#   scripts/bench.sh --soak               W4 for 10 minutes, watching the server's RSS
#   scripts/bench.sh --idle               the bare server's memory and idle CPU time
#   scripts/bench.sh --self-test          the harness's own tests (checks, faults)
#
# The exit status is non-zero when a run failed its checks.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/install-bench-deps.sh

# Configures and builds the server the way build/bench is built.
build_like_bench() {
    cmake -S "$1" -B "$2" -DTESSARD_SANITIZER=none -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTESSARD_BUILD_TESTS=OFF -DTESSARD_BUILD_BENCH="$3"
    cmake --build "$2" -j "$(nproc)" ${4:+--target "$4"}
}

build_like_bench . build/bench ON
if [ "${1:-}" = "--self-test" ]; then
    shift
    exec build/bench/bench/bench_tests "$@"
fi
if [ "${1:-}" = "--compare-rev" ]; then
    [ $# -ge 2 ] || { echo "--compare-rev wants a git revision" >&2; exit 2; }
    source_dir=build/bench-compare/source
    rm -rf "$source_dir"
    mkdir -p "$source_dir"
    git archive "$2" | tar -x -C "$source_dir"
    build_like_bench "$source_dir" build/bench-compare/build OFF tessard
    shift 2
    set -- --compare-build build/bench-compare/build "$@"
fi
exec build/bench/bench/tessard_bench "$@"
