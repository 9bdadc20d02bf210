#!/usr/bin/env bash
# Builds the tree callback benchmark in release mode and runs it: a tree write
# verified by a callback that answers at once, a plain tree read, and a flat
# write that notifies, through the real daemon (median latency and requests
# per second), once with callbacks run by the callback host and once with
# the helper exec'd per call, side by side; and the host's resident memory.
# Extra arguments go to the benchmark (e.g. --benchmark_min_time=2).
#
#   bench/sc_callback.sh --arm [ARGS]   the same for the device: built for
#                                       ARMv7 (build-arm-bench) and run,
#                                       daemon, host and helper included,
#                                       under qemu-arm
set -euo pipefail
if [ "${1:-}" = --arm ]; then
    shift
    cd "$(dirname "$0")/.."
    . scripts/deps.sh
    tarvi_install_deps
    tarvi_install_cross_deps libbenchmark-dev:armhf || exit 77
    cmake -S . -B build-arm-bench -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
        -DCMAKE_BUILD_TYPE=Release -DTARVI_ROOT= -DTARVI_ROOT_FROM_ENV=ON -DTARVI_BUILD_TESTS=OFF \
        -DTARVI_BUILD_BENCH=ON -DTARVI_SANITIZE=OFF >/dev/null
    cmake --build build-arm-bench --target tarvi_bench_sc_callback -j "$(nproc)"
    export TARVI_TEST_EMULATOR=qemu-arm
    exec qemu-arm build-arm-bench/bench/tarvi_bench_sc_callback "$@"
fi
exec "$(dirname "$0")/run.sh" tarvi_bench_sc_callback "$@"
