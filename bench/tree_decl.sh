#!/usr/bin/env bash
# Builds the tree-declaration benchmark in release mode and runs it: the full
# TR-098 data model (converted by tools/tarvi-import) loaded as a profile, and
# a table of 5,000 instances restored from a tree file with reprocessing.
# Reports the time per load and the node count. Extra arguments go to the
# benchmark (e.g. --benchmark_repetitions=5).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
python3 tools/tarvi-import bbf tests/fixtures/data/tr-098-1-8-0-full.xml -o "$out" --module cwmp_tr098 >/dev/null
TARVI_BENCH_TR098="$out/cwmp_tr098.profile" bench/run.sh tarvi_bench_tree_decl "$@"
