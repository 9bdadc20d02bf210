#!/usr/bin/env bash
# Builds the tree-declaration benchmark in release mode and runs it: the full
# TR-098 data model (converted by tools/tarvi-import) loaded as a profile, and
# a table of 5,000 instances restored from a tree file with reprocessing.
# Reports the time per load and the node count. Extra arguments go to the
# benchmark (e.g. --benchmark_repetitions=5).
exec "$(dirname "$0")/tr098.sh" tarvi_bench_tree_decl "$@"
