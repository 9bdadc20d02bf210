#!/usr/bin/env bash
# Runs the integration tests that FILTER selects against a release build (in
# build-release), showing only their figures and any failure. The long runs of
# scripts/soak.sh and bench/hostile.sh go through here; their durations come
# from the environment variables that those scripts set.
#   scripts/long-tests.sh FILTER
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVI_BUILD_BENCH=OFF >/dev/null
cmake --build build-release -j2 --target tarvi_integration_tests tarvid tarvi_cli fixture_cbtest
build-release/tests/tarvi_integration_tests --gtest_filter="$1" |
    grep -E '^(soak|crash-restart|hostile|model):|OK \]|FAILED|Failure|Which is|^seed |^shortest|^  [0-9]+: |^replay:'
