#!/usr/bin/env bash
# Cross-builds tarvi for the device: ARMv7 hard-float Linux, 32-bit, with
# Debian's arm-linux-gnueabihf toolchain. Installs what it needs first.
#
#   build-arm       the device build: TARVI_ROOT empty and no environment
#                   read; daemon, library and tools as the packages ship them
#   build-arm-test  the same code with the tests, built so that programs also
#                   honour the TARVI_ROOT environment variable: the tests run
#                   the daemon in sandboxes (scripts/cross-test.sh runs them)
#
# Usage: scripts/cross-build.sh [device|test]   (both when not given)
# Exits 77 when this machine cannot have the toolchain.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps
tarvi_install_cross_deps || exit 77

which="${1:-all}"
jobs=$(nproc)
common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake -DTARVI_ROOT= -DTARVI_WERROR=ON
    -DTARVI_SANITIZE=OFF -DTARVI_BUILD_BENCH=OFF)

if [ "$which" = all ] || [ "$which" = device ]; then
    echo "== cross-build for the device (build-arm)"
    cmake -S . -B build-arm "${common[@]}" -DTARVI_ROOT_FROM_ENV=OFF -DTARVI_BUILD_TESTS=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib/arm-linux-gnueabihf >/dev/null
    cmake --build build-arm -j "$jobs"
fi
if [ "$which" = all ] || [ "$which" = test ]; then
    echo "== cross-build of the tests (build-arm-test)"
    cmake -S . -B build-arm-test "${common[@]}" -DTARVI_ROOT_FROM_ENV=ON -DTARVI_BUILD_TESTS=ON >/dev/null
    cmake --build build-arm-test -j "$jobs"
fi
