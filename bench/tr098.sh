#!/usr/bin/env bash
# Runs benchmark TARGET (bench/run.sh) with the full TR-098 data model,
# converted by tools/tarvi-import, named by TARVI_BENCH_TR098.
# Usage: bench/tr098.sh TARGET [benchmark arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
python3 tools/tarvi-import bbf tests/fixtures/data/tr-098-1-8-0-full.xml -o "$out" --module cwmp_tr098 >/dev/null
TARVI_BENCH_TR098="$out/cwmp_tr098.profile" bench/run.sh "$@"
