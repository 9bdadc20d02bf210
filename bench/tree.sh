#!/usr/bin/env bash
# Builds the tree benchmark in release mode and runs it: a 100,000-node tree
# built through URI inserts (time per build, nodes per second), then lookups
# by URI (time per lookup; median_ns and p99_ns of single timed lookups).
# Extra arguments go to the benchmark (e.g. --benchmark_repetitions=5).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVI_BUILD_TESTS=OFF
cmake --build build-bench --target tarvi_bench_tree -j "$(nproc)"
exec build-bench/bench/tarvi_bench_tree "$@"
