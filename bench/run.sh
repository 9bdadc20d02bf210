#!/usr/bin/env bash
# Builds one benchmark target in release mode (in build-bench) and runs it.
# Usage: bench/run.sh TARGET [benchmark arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps

target=$1
shift
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVI_BUILD_TESTS=OFF
cmake --build build-bench --target "$target" -j "$(nproc)"
exec "build-bench/bench/$target" "$@"
