#!/usr/bin/env bash
# Builds the round-trip benchmark in release mode and runs it: GET and SET
# through the real daemon against a bare echo server, then the floor/daemon
# ratios. Extra arguments go to the benchmark (e.g. --benchmark_min_time=1).
exec "$(dirname "$0")/run.sh" tarvi_bench_roundtrip "$@"
