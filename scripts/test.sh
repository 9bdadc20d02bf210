#!/usr/bin/env bash
# Builds tarvi and runs the whole test suite: a plain build (warnings as
# errors), a build with AddressSanitizer + UndefinedBehaviorSanitizer, and the
# ARM device's build under qemu-arm where the machine can run it (set
# TARVI_CROSS=0 to leave that out). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps clang-format

jobs=$(nproc)

echo "== format check"
files=$(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null || find src include tools tests bench -name '*.[ch]*')
clang-format --dry-run --Werror $files

echo "== every subsystem uses only those below it"
bash scripts/deps-check.sh

echo "== every part of the client API header is documented"
bash scripts/docs.sh --check

echo "== build and test"
cmake -S . -B build -G Ninja -DTARVI_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build and test with AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DTARVI_WERROR=ON -DTARVI_SANITIZE=ON -DTARVI_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== fuzz targets: build, and a short run of each on its seeds"
bash scripts/fuzz.sh "${TARVI_FUZZ_SMOKE_SECONDS:-5}"

echo "== cross-build for the ARM device and its tests under emulation"
if [ "${TARVI_CROSS:-1}" = 0 ]; then
    echo "== SKIPPED: the emulated ARM pass (TARVI_CROSS=0)"
else
    cross=0
    bash scripts/cross-test.sh || cross=$?
    if [ $cross -eq 77 ]; then
        echo "== SKIPPED: the emulated ARM pass cannot run on this machine (see above); nothing was tested on ARM"
    elif [ $cross -ne 0 ]; then
        echo "== FAILED: the emulated ARM pass"
        exit $cross
    fi
fi
