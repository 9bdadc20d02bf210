#!/usr/bin/env bash
# Builds the tree benchmark in release mode and runs it: a 100,000-node tree
# built through URI inserts (time per build, nodes per second), then lookups
# by URI (time per lookup; median_ns and p99_ns of single timed lookups).
# Extra arguments go to the benchmark (e.g. --benchmark_repetitions=5).
exec "$(dirname "$0")/run.sh" tarvi_bench_tree "$@"
