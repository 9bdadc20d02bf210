#!/usr/bin/env bash
# Builds the listing benchmark in release mode and runs it: `tarvi show` of
# 5,000 settings and `tarvi export` of the full TR-098 data model (converted
# by tools/tarvi-import) plus a table of 1,000 instances, each through the
# tool against a sandboxed daemon, and the longest read of another client
# meanwhile. Extra arguments go to the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
python3 tools/tarvi-import bbf tests/fixtures/data/tr-098-1-8-0-full.xml -o "$out" --module cwmp_tr098 >/dev/null
TARVI_BENCH_TR098="$out/cwmp_tr098.profile" bench/run.sh tarvi_bench_listing "$@"
