#!/bin/sh
# Builds the message-path benchmark (a plain RelWithDebInfo build with
# tcmalloc, in build/bench) and runs it. Every option is the harness's:
#
#   scripts/bench.sh                      the full run: 5 rounds of every workload
#                                         and contender; publishes bench/results
#                                         and docs/performance.md
#   scripts/bench.sh --rounds 1 --workloads W1 --contenders tessard,zmq-poll
#                                         a quick look (results in build/bench)
#   scripts/bench.sh --soak               W4 for 10 minutes, watching the server's RSS
#   scripts/bench.sh --idle               the bare server's memory and idle CPU time
#   scripts/bench.sh --self-test          the harness's own tests (checks, faults)
#
# The exit status is non-zero when a run failed its checks.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/install-bench-deps.sh
cmake -S . -B build/bench -DTESSARD_SANITIZER=none -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSARD_BUILD_TESTS=OFF -DTESSARD_BUILD_BENCH=ON
cmake --build build/bench -j "$(nproc)"
if [ "${1:-}" = "--self-test" ]; then
    shift
    exec build/bench/bench/bench_tests "$@"
fi
exec build/bench/bench/tessard_bench "$@"
