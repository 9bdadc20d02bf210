#!/usr/bin/env bash
# Builds the tree callback benchmark in release mode and runs it: a tree write
# verified by a callback that answers at once, and a plain tree read, through
# the real daemon (median latency and requests per second). Extra arguments go
# to the benchmark (e.g. --benchmark_min_time=2).
exec "$(dirname "$0")/run.sh" tarvi_bench_sc_callback "$@"
