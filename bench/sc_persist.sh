#!/usr/bin/env bash
# Builds the tree persistence benchmark in release mode and runs it: on a
# tree of about 20,000 nodes with 2,000 changed values, the flush of the tree
# files, the commit (flush, archive of the working folder, image written and
# read back) and a full reload of the tree. Extra arguments go to the
# benchmark.
exec "$(dirname "$0")/run.sh" tarvi_bench_sc_persist "$@"
