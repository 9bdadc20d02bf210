#!/usr/bin/env bash
# Builds tarvi, lays the sample device into ./sandbox, starts tarvid there and
# shows a few requests answered. The daemon keeps running in the background.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
tarvi_install_deps

cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target tarvid tarvi_callback tarvi_cli tarvi_pack tarvi_sc_show example_sc_sys example_sc_notify example_voip

sandbox="$PWD/sandbox"
pidfile="$sandbox/var/run/tarvid.pid"
if [ -s "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
    echo "Stopping the daemon already running in $sandbox"
    kill "$(cat "$pidfile")"
    sleep 0.5
fi
pack=build/tarvi-pack
scripts/lay-device.sh "$sandbox" "$pack"
# The sample device's callback objects.
mkdir -p "$sandbox"/lib
cp build/examples/lib/*.so "$sandbox"/lib/
# The system information calls read these through the sandbox root.
mkdir -p "$sandbox"/proc "$sandbox"/var/log
ln -s /proc/stat "$sandbox"/proc/stat
ln -s /proc/meminfo "$sandbox"/proc/meminfo

export TARVI_ROOT="$sandbox"
start_daemon() {
    rm -f "$pidfile"
    # The sandbox's own service-launcher and killall come first on the daemon's PATH.
    PATH="$sandbox/bin:$PATH" build/tarvid 2>>"$sandbox/tarvid.log" >>"$sandbox/tarvid.out"
    for _ in $(seq 50); do
        [ -s "$pidfile" ] && [ -S "$sandbox/var/run/tarvi.socket" ] && break
        sleep 0.1
    done
}
: >"$sandbox/tarvid.log"
: >"$sandbox/tarvid.out"
start_daemon

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

# Properties and services: ctl.start runs the sandbox's service-launcher with
# init.demo.rc, ctl.stop its killall; init.svc.demo follows, also when the
# service dies on its own.
run prop get ro.product.model
run prop set ctl.start demo
run prop get init.svc.demo
sleep 0.3
echo "demo-daemon runs as pid $(cat "$sandbox/var/run/demo-daemon.pid")"
run prop set ctl.stop demo
run prop get init.svc.demo
run prop set sys.demo.autostart 1
run prop get init.svc.demo
sleep 0.3
echo "\$ kill -9 \$(cat sandbox/var/run/demo-daemon.pid)    # the service dies on its own"
kill -9 "$(cat "$sandbox/var/run/demo-daemon.pid")"
sleep 0.3
run prop get init.svc.demo

# The tree: built on request; sys/wan/mtu has a verify callback in
# libsc_sys.so that takes 576 to 1500.
run sc reload
run sc get sys/wan/mtu
run sc set sys/wan/mtu 9000 || true
run sc set sys/wan/mtu 1480
run sc get sys/wan/mtu
run get WAN_MTU
# sys/wimax/enable is bound to WIMAX_ENABLE and notifies actively: a flat
# write reaches its callback in libsc_notify.so, which notes it.
run set WIMAX_ENABLE 0
sleep 0.3
run get NOTIFY_LAST

# The tree persists: a literal value, a key-bound one and a new table
# instance are committed; a power cut kills the daemon and empties the RAM
# folder /tmp/sc; after the restart and a tree reload they are all back.
run sc set sys/wimax/nsp/1/name home
run sc fields add sys/network/v6config ID=3 Name=lab Type=slaac
run commit
echo "\$ kill -9 \$(cat sandbox/var/run/tarvid.pid); rm -rf sandbox/tmp/sc/*; tarvid    # a power cut"
kill -9 "$(cat "$pidfile")"
sleep 0.3
rm -rf "$sandbox"/tmp/sc/*
start_daemon
run sc reload
run sc get sys/wimax/nsp/1/name
run sc get sys/network/v6config/3/Name
run sc get sys/wan/mtu

# The tree's profiles, callback and notify files came along in usr/sc.
# tarvi-sc-show builds the tree with the daemon's own readers, its bound
# values taken from the default files.
cfgs=()
for f in examples/device/usr/cfg/*.cfg examples/device/mnt/default.cfg; do cfgs+=(--defaults "$f"); done
for uri in ./sys/network/v6config ./sys/services/voip/line ./WiMAX ./InternetGatewayDevice/Time; do
    echo "\$ tarvi-sc-show $uri"
    TARVI_ROOT="$sandbox" build/tarvi-sc-show "${cfgs[@]}" "$uri"
done

cat <<MSG

tarvid is running in $sandbox (pid $(cat "$pidfile")); its log is
$sandbox/tarvid.log. Talk to it with:
    TARVI_ROOT=$sandbox build/tarvi get KEY
List its store on its standard output ($sandbox/tarvid.out) with:
    kill -USR1 \$(cat $pidfile)
Stop it with:
    kill \$(cat $pidfile)
MSG
