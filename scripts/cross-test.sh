#!/usr/bin/env bash
# Runs the whole test suite of the ARM build (unit and integration tests,
# daemon started in sandboxes) on this machine under qemu-arm user-mode
# emulation, with the armhf libraries that multiarch installed. ctest starts
# each test through the emulator; the tests start the daemon and the tools
# through it too (TARVI_TEST_EMULATOR, set by tests/CMakeLists.txt).
#
# Exits 0 when every test passed, 77 when this machine cannot run the pass
# (no toolchain, no emulator, or an emulator that cannot start ARM programs),
# and 1 on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps
if ! tarvi_install_cross_deps; then
    echo "cross-test: the cross toolchain or qemu-user cannot be installed here"
    exit 77
fi

# An emulator that cannot start a trivial ARM program says nothing about our
# code: report the machine, not a test failure.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
echo 'int main(void) { return 0; }' >"$probe_dir/probe.c"
if ! arm-linux-gnueabihf-gcc "$probe_dir/probe.c" -o "$probe_dir/probe" || ! qemu-arm "$probe_dir/probe"; then
    echo "cross-test: qemu-arm cannot run ARM programs on this machine"
    exit 77
fi

scripts/cross-build.sh test || exit 1

echo "== tests of the ARM build under qemu-arm"
start=$(date +%s)
ctest --test-dir build-arm-test --output-on-failure -j "$(nproc)" || exit 1
echo "== emulated test run took $(($(date +%s) - start)) s"
