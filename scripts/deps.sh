#!/usr/bin/env bash
# Installs the Debian packages that building and testing tarvi need, when any
# is missing. Sourced by the other scripts.
tarvi_install_deps() {
    local pkgs=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcrypt-dev openssl tar gzip libarchive-dev python3 "$@")
    local missing=()
    for p in "${pkgs[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}"
    fi
}

# Installs what building for the ARM device and running its tests under
# user-mode emulation need: the cross compiler, the emulator and the :armhf
# development packages through Debian multiarch. Returns non-zero, after
# saying why, when the machine cannot have them; the apt state is left as
# apt itself leaves it.
tarvi_install_cross_deps() {
    local pkgs=(g++-arm-linux-gnueabihf qemu-user libc6:armhf libstdc++6:armhf libcrypt-dev:armhf libarchive-dev:armhf libgtest-dev:armhf libgmock-dev:armhf "$@")
    local missing=()
    for p in "${pkgs[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    local added=0
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        $sudo dpkg --add-architecture armhf || { echo "cannot add the armhf architecture"; return 1; }
        added=1
    fi
    echo "Installing: ${missing[*]}"
    if ! $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq; then
        # An architecture the archive does not serve would make every later
        # apt-get update fail, for every user of this machine.
        [ $added -eq 1 ] && $sudo dpkg --remove-architecture armhf
        echo "apt-get update failed"
        return 1
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" ||
        { echo "the cross toolchain or the armhf packages cannot be installed"; return 1; }
}
