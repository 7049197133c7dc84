#!/usr/bin/env bash
# Debian packages that Tavrin's build and tests need, installed when missing.
# Sourced by the start and test scripts: `tavrin_need_packages PKG...`.

tavrin_missing_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    echo "${missing[@]}"
}

tavrin_need_packages() {
    local missing
    missing=$(tavrin_missing_packages "$@")
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Tavrin needs these Debian packages; install them as root:" >&2
        echo "  apt-get install -y $missing" >&2
        return 1
    fi
    echo "Installing: $missing" >&2
    # Retry once after refreshing the package lists: a fresh machine may have none.
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $missing >/dev/null 2>&1 || {
        apt-get update -q >/dev/null 2>&1
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $missing
    }
}

# What every build needs.
TAVRIN_BUILD_PACKAGES=(build-essential cmake googletest libgtest-dev libbenchmark-dev pkg-config libasound2-dev libjack-jackd2-dev libcli11-dev nlohmann-json3-dev)

# What the tests on real MIDI engines need: a JACK server, and a Debian kernel
# with the ALSA sequencer booted under qemu (the kernel package itself is
# fetched by the qemu suite, not installed).
# The desktop program and its backend.
TAVRIN_DESKTOP_PACKAGES=(qt6-base-dev)
TAVRIN_ENGINE_TEST_PACKAGES=(jackd2 qemu-system-x86 busybox-static kmod cpio xz-utils libasound2-data)
