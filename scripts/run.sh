#!/usr/bin/env bash
# Builds tarvi, lays the sample device into ./sandbox, starts tarvid there and
# shows a few requests answered. The daemon keeps running in the background.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps

cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target tarvid tarvi_cli tarvi_pack

sandbox="$PWD/sandbox"
pidfile="$sandbox/var/run/tarvid.pid"
if [ -s "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
    echo "Stopping the daemon already running in $sandbox"
    kill "$(cat "$pidfile")"
    sleep 0.5
fi
pack=build/tarvi-pack
scripts/lay-device.sh "$sandbox" "$pack"
# The system information calls read these through the sandbox root.
mkdir -p "$sandbox"/proc "$sandbox"/var/log
ln -s /proc/stat "$sandbox"/proc/stat
ln -s /proc/meminfo "$sandbox"/proc/meminfo

export TARVI_ROOT="$sandbox"
build/tarvid 2>"$sandbox/tarvid.log" >"$sandbox/tarvid.out"
for _ in $(seq 50); do
    [ -s "$pidfile" ] && [ -S "$sandbox/var/run/tarvi.socket" ] && break
    sleep 0.1
done

tarvi=build/tarvi
run() { echo "\$ tarvi $*"; "$tarvi" "$@"; }
run get SYS_NAME
run get WIMAX_NSP_ID
run set WAN_MODE static
run get WAN_MODE
run commit
echo "\$ tarvi-pack show sandbox/dev/mmcblk0p7    # ConfigPack2 took the first commit"
"$pack" show "$sandbox/dev/mmcblk0p7" | grep -E '^(tail|validity)|WAN_MODE'
run check-user admin
echo "\$ echo admin | tarvi check-password admin"
echo admin | "$tarvi" check-password admin
run verify ip_address 192.168.300.1 || true
run sysinfo

cat <<MSG

tarvid is running in $sandbox (pid $(cat "$pidfile")); its log is
$sandbox/tarvid.log. Talk to it with:
    TARVI_ROOT=$sandbox build/tarvi get KEY
List its store on its standard output ($sandbox/tarvid.out) with:
    kill -USR1 \$(cat $pidfile)
Stop it with:
    kill \$(cat $pidfile)
MSG
