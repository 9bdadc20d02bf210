#!/usr/bin/env bash
# Lays the sample device of examples/device into a sandbox root, with flash as
# the device has it: the firmware default image built from the .cfg files, a
# factory partition whose Not-Reset Defaults come from mnt/default.cfg, two
# empty user partitions, all found by label, and the kernel's partition table
# giving their size.
#
# Usage: scripts/lay-device.sh SANDBOX TARVI-PACK   (SANDBOX is made anew)
set -euo pipefail
cd "$(dirname "$0")/.."
sandbox="$1"
pack="$2"
size=262144

rm -rf "$sandbox"
mkdir -p "$sandbox"/var/run "$sandbox"/mnt/tarvi "$sandbox"/tmp/sc/tree0 "$sandbox"/tmp/sc/tree1
cp -a examples/device/. "$sandbox"/
"$pack" build -o "$sandbox"/usr/cfg/default.bin examples/device/usr/cfg/*.cfg
defaults=()
while IFS= read -r line || [ -n "$line" ]; do
    [[ "$line" == *=* && "$line" != =* ]] && defaults+=(--default "$line")
done <examples/device/mnt/default.cfg
"$pack" factory -o "$sandbox"/factory.bin "${defaults[@]}"
mkdir -p "$sandbox"/dev/disk/by-partlabel "$sandbox"/proc
"$pack" partition --size $size --factory "$sandbox"/factory.bin -o "$sandbox"/dev/mmcblk0p5
rm "$sandbox"/factory.bin
proc='major minor  #blocks  name\n\n 179        5        %d mmcblk0p5\n'
for dev in mmcblk0p6 mmcblk0p7; do
    head -c $size /dev/zero | tr '\0' '\377' >"$sandbox/dev/$dev"
    proc="$proc 179        ${dev#mmcblk0p}        %d $dev\n"
done
ln -s ../../mmcblk0p5 "$sandbox"/dev/disk/by-partlabel/FactoryConfig
ln -s ../../mmcblk0p6 "$sandbox"/dev/disk/by-partlabel/ConfigPack1
ln -s ../../mmcblk0p7 "$sandbox"/dev/disk/by-partlabel/ConfigPack2
# shellcheck disable=SC2059
printf "$proc" $((size / 1024)) $((size / 1024)) $((size / 1024)) >"$sandbox"/proc/partitions
