#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, builds the out-of-tree client
# of examples/client against it twice (pkg-config, then the CMake package),
# and runs both against the installed daemon in a sandbox device.
#
# Usage: install_test.sh BUILD-DIR SOURCE-DIR
set -euo pipefail
build="$1"
src="$2"
work=$(mktemp -d /tmp/tarvi-install-XXXXXX)
root="$work/root"
cleanup() {
    if [ -s "$root/var/run/tarvid.pid" ]; then
        kill "$(cat "$root/var/run/tarvid.pid")" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name libtarvi.pc)
libdir=$(dirname "$(dirname "$pc")")
for f in sbin/tarvid bin/tarvi bin/tarvi-pack include/libtarvi.h; do
    [ -e "$prefix/$f" ] || fail "$f is not installed"
done
for f in libtarvi.so.1 libtarvi.so libtarvi.a cmake/tarvi/tarviConfig.cmake cmake/tarvi/tarviTargets.cmake; do
    [ -e "$libdir/$f" ] || fail "${libdir#"$prefix"/}/$f is not installed"
done
[ "$(readlink "$libdir/libtarvi.so")" = libtarvi.so.1 ] || fail "the link name does not lead to the soname"

# Built with pkg-config.
flags=$(PKG_CONFIG_PATH="$(dirname "$pc")" pkg-config --cflags --libs libtarvi)
cc -std=c99 -Wall -Wextra -Werror "$src/examples/client/tarvi_show.c" $flags -o "$work/show-pkg-config" ||
    fail "the client does not build with: $flags"

# Built with find_package(tarvi).
cmake -S "$src/examples/client" -B "$work/client" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; fail "find_package(tarvi) failed"; }
cmake --build "$work/client" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the client does not build with CMake"; }

# Both ask the installed daemon, through the installed library only.
"$src/scripts/lay-device.sh" "$root" "$prefix/bin/tarvi-pack" >/dev/null
TARVI_ROOT="$root" "$prefix/sbin/tarvid" 2>"$work/tarvid.log" >/dev/null || { cat "$work/tarvid.log"; fail "tarvid"; }
for _ in $(seq 100); do
    [ -s "$root/var/run/tarvid.pid" ] && break
    sleep 0.05
done
for client in "$work/show-pkg-config" "$work/client/tarvi-show"; do
    if ldd "$client" | grep -q "libtarvi.so.1 => $build/"; then
        fail "$client uses the build tree's library"
    fi
    out=$(TARVI_ROOT="$root" LD_LIBRARY_PATH="$libdir" "$client" SYS_NAME) || fail "$client: $out"
    [ "$out" = "SYS_NAME=WiMAX CPE Configuration Manager" ] || fail "$client printed: $out"
    status=0
    TARVI_ROOT="$root" LD_LIBRARY_PATH="$libdir" "$client" NO_SUCH_KEY >/dev/null 2>&1 || status=$?
    [ $status -eq 1 ] || fail "$client: exit status $status for an unknown key"
done
echo "installed client built with pkg-config and with find_package(tarvi): ok"
