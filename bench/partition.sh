#!/usr/bin/env bash
# Builds the partition benchmark in release mode and runs it: commit
# (flush(1)) and reload(1) of a store of about 200 KB on sandbox partitions
# under /tmp, the confirmation and the roll back of a commit that waits for
# confirmation, and the unpacking of a tree archive of about 200 KB. Extra
# arguments go to the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVI_BUILD_TESTS=OFF
cmake --build build-bench --target tarvi_bench_partition -j2
exec build-bench/bench/tarvi_bench_partition "$@"
