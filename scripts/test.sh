#!/usr/bin/env bash
# Builds tarvi and runs the whole test suite twice: a plain build (warnings as
# errors) and a build with AddressSanitizer + UndefinedBehaviorSanitizer.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps clang-format

jobs=$(nproc)

echo "== format check"
files=$(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null || find src include tools tests bench -name '*.[ch]*')
clang-format --dry-run --Werror $files

echo "== build and test"
cmake -S . -B build -G Ninja -DTARVI_WERROR=ON
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== build and test with AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DTARVI_WERROR=ON -DTARVI_SANITIZE=ON -DTARVI_BUILD_BENCH=OFF
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
