#!/usr/bin/env bash
# Builds the round-trip benchmark in release mode and runs it: GET and SET
# through the real daemon against a bare echo server, then the floor/daemon
# ratios. Extra arguments go to the benchmark (e.g. --benchmark_min_time=1).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVI_BUILD_TESTS=OFF
cmake --build build-bench --target tarvi_bench_roundtrip -j "$(nproc)"
exec build-bench/bench/tarvi_bench_roundtrip "$@"
