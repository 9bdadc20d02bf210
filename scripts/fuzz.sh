#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang 14 and runs each for
# SECONDS (default 600) on a fresh copy of its seed corpus, then reports the
# executions per target. A crash, leak or hang fails the run; its input is
# kept in the target's work folder (crash-*, leak-*, timeout-*).
#
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]     (targets: request, cfgpack, ...)
# TARVI_FUZZ_WORK names the work folder (default build-fuzz/work).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps clang-14 libclang-rt-14-dev

seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in fuzz/*_fuzz.cpp; do
        t=${f#fuzz/}
        targets+=("${t%_fuzz.cpp}")
    done
fi
build=build-fuzz
work=${TARVI_FUZZ_WORK:-$build/work}

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DTARVI_BUILD_FUZZ=ON -DTARVI_BUILD_TESTS=OFF \
    -DTARVI_BUILD_BENCH=OFF -DTARVI_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target tarvi_fuzz

# Each target lays its files into a scratch root under $TMPDIR: in memory
# the file targets run many times faster.
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
failed=()
for t in "${targets[@]}"; do
    dir=$work/$t
    rm -rf "$dir"
    mkdir -p "$dir/corpus"
    cp fuzz/corpus/"$t"/* "$dir/corpus/"
    args=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1)
    [ -f fuzz/"$t".dict ] && args+=(-dict="$PWD/fuzz/$t.dict")
    status=0
    (cd "$dir" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$OLDPWD/$build/fuzz/${t}_fuzz" "${args[@]}" corpus >log 2>&1) || status=$?
    execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$dir/log")
    if [ $status -ne 0 ]; then
        failed+=("$t")
        echo "== $t: FAILED (exit $status), log $dir/log"
        grep -E 'ERROR|SUMMARY|Test unit written' "$dir/log" | head -5
    else
        echo "== $t: ${execs:-?} executions in ${seconds}s, corpus $(ls "$dir/corpus" | wc -l) inputs"
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "== fuzzing found problems in: ${failed[*]}"
    exit 1
fi
