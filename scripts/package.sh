#!/usr/bin/env bash
# Builds the Debian packages tarvid, libtarvi1 and libtarvi-dev into dist/,
# for this machine (amd64) and for the device (armhf, cross-built), and lists
# what each holds. Both builds are device builds: the programs read no
# environment variable and use the device's absolute paths.
#
# Usage: scripts/package.sh [amd64|armhf]   (both when not given)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps

which="${1:-all}"
jobs=$(nproc)
mkdir -p dist
builds=()
if [ "$which" = all ] || [ "$which" = amd64 ]; then
    echo "== host build for packages (build-pkg)"
    cmake -S . -B build-pkg -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DTARVI_ROOT= -DTARVI_ROOT_FROM_ENV=OFF \
        -DTARVI_WERROR=ON -DTARVI_SANITIZE=OFF -DTARVI_BUILD_TESTS=OFF -DTARVI_BUILD_BENCH=OFF >/dev/null
    cmake --build build-pkg -j "$jobs"
    builds+=(build-pkg)
fi
if [ "$which" = all ] || [ "$which" = armhf ]; then
    scripts/cross-build.sh device
    builds+=(build-arm)
fi
for b in "${builds[@]}"; do
    (cd "$b" && cpack -B "$PWD/../dist" >/dev/null)
done
rm -rf dist/_CPack_Packages
for deb in dist/*.deb; do
    echo "== $deb"
    dpkg-deb -f "$deb" Package Architecture Version Depends
    dpkg -c "$deb"
done
