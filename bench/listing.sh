#!/usr/bin/env bash
# Builds the listing benchmark in release mode and runs it: `tarvi show` of
# 5,000 settings and `tarvi export` of the full TR-098 data model (converted
# by tools/tarvi-import) plus a table of 1,000 instances, each through the
# tool against a sandboxed daemon, and the longest read of another client
# meanwhile. Extra arguments go to the benchmark.
exec "$(dirname "$0")/tr098.sh" tarvi_bench_listing "$@"
