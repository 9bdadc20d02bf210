#!/usr/bin/env bash
# Generates the HTML reference of the client API from the doc comments of
# include/libtarvi.h into build-docs/html (open build-docs/html/index.html).
# With --check, fails when a call or type of the header has no doc comment.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps doxygen

rm -rf build-docs
mkdir -p build-docs
doxygen docs/Doxyfile
if [ -s build-docs/warnings.txt ]; then
    cat build-docs/warnings.txt
    if [ "${1:-}" = --check ]; then
        echo "docs: the header has undocumented parts"
        exit 1
    fi
fi
echo "API reference: build-docs/html/index.html"
