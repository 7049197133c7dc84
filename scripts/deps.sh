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
TAVRIN_BUILD_PACKAGES=(build-essential cmake googletest libgtest-dev libbenchmark-dev pkg-config libasound2-dev libjack-jackd2-dev libcli11-dev nlohmann-json3-dev python3)

# What the tests on real MIDI engines need: a JACK server, and a Debian kernel
# with the ALSA sequencer booted under qemu (the kernel package itself is
# fetched by the qemu suite, not installed).
# The desktop program and its backend.
TAVRIN_DESKTOP_PACKAGES=(qt6-base-dev)
# What the desktop suites need: displays (Xvfb; Weston for Wayland), a window
# manager, input and pictures, and OCR to read them.
TAVRIN_DESKTOP_TEST_PACKAGES=(xvfb xdotool imagemagick tesseract-ocr tesseract-ocr-eng x11-utils openbox wmctrl)
TAVRIN_WESTON_TEST_PACKAGES=(weston qt6-wayland libweston-10-dev imagemagick tesseract-ocr tesseract-ocr-eng)
TAVRIN_ENGINE_TEST_PACKAGES=(jackd2 qemu-system-x86 busybox-static kmod cpio xz-utils libasound2-data)
# JACK on PipeWire: the daemon (its default configuration has the Dummy-Driver
# that runs JACK clients without sound hardware), pw-metadata, and PipeWire's
# own libjack, which the JACK suites run a second time against.
TAVRIN_PIPEWIRE_PACKAGES=(pipewire pipewire-bin pipewire-jack)
# Making and checking the packages: the Debian package's dependencies
# (dpkg-shlibdeps) and checkers, and both MinGW-w64 targets (Wine, for the
# zips, comes from lib/wine.sh).
TAVRIN_PACKAGE_PACKAGES=(dpkg-dev lintian desktop-file-utils appstream unzip
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-i686)
# tavrin-cli's suites and benchmark: JSON read by Python, a terminal in tmux,
# pictures looked at in headless Chromium; jack_midi_latency_test, the
# baseline of bench/cli_jack.sh, comes with jackd2.
TAVRIN_CLI_TEST_PACKAGES=(python3 tmux chromium jackd2)
# The libFuzzer targets of fuzz/: clang with its fuzzer and sanitizer runtimes.
TAVRIN_FUZZ_PACKAGES=(clang libclang-rt-14-dev)
