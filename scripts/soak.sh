#!/usr/bin/env bash
# The long runs of the soak and crash-restart tests against a release build:
#   scripts/soak.sh [SECONDS] [KILLS]
# SECONDS (default 300) of 16 client threads and 3 client processes against
# one daemon, then KILLS (default 200) SIGKILLs of the daemon during each of
# set-and-commit, factory edits and restores. Prints the figures: requests,
# duration, the daemon's memory and descriptors after the warm-up and at the
# end, and what every restart found.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps

seconds=${1:-300}
kills=${2:-200}
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVI_BUILD_BENCH=OFF >/dev/null
cmake --build build-release -j2 --target tarvi_integration_tests tarvid tarvi_cli fixture_cbtest
TARVI_SOAK_SECONDS=$seconds TARVI_CRASH_ROUNDS=$kills \
    build-release/tests/tarvi_integration_tests --gtest_filter='Soak.*:CrashRestart.*' |
    grep -E '^(soak|crash-restart)|OK|FAILED|Failure|Which is'
