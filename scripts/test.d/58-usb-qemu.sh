#!/usr/bin/env bash
# Tavrin over a USB MIDI interface: the kernel's USB MIDI class driver on an
# interface made in the qemu guest itself (lib/qemu-usb.sh), whose DIN side
# is tests/engines/usb_din paced at the 31,250-baud wire rate. One boot runs
# every case (lib/usb-guest.sh): tavrin-cli, the desktop program under Xvfb,
# and tavrin-cli.exe and tavrin.exe under Wine, all over the USB ports. The
# guest's root is the host's, shared read-only over 9p.
#
#   58-usb-qemu.sh [GUEST SCRIPT]   (another guest script, for trying things)
#
# Pictures, transcripts and the guest's console are left in build/usb-qemu/.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
source scripts/test.d/lib/wine.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_ENGINE_TEST_PACKAGES[@]}" \
    "${WINE_DESKTOP_PACKAGES[@]}" alsa-utils || exit 1

fail() { echo "usb-qemu: $*" >&2; exit 1; }
t0=$SECONDS
guest_script=${1:-$PWD/scripts/test.d/lib/usb-guest.sh}

cmake --preset debug >/dev/null && cmake --build --preset debug -j2 --target tavrin-cli tavrin usb_din >/dev/null ||
    fail "building tavrin-cli, tavrin or usb_din failed"
cmake --preset windows >/dev/null && cmake --build --preset windows -j2 >/dev/null ||
    fail "building tavrin.exe failed"

# The guest's read-write folder: a copy of the Wine prefix, transcripts,
# pictures.
source scripts/test.d/lib/xvfb.sh
work=$PWD/build/usb-qemu
rm -rf "$work"; mkdir -p "$work"
wine_guest_prefix "$work" || exit 1

source scripts/test.d/lib/qemu-guest.sh
source scripts/test.d/lib/qemu-usb.sh
guest_host_root_prepare "${USB_GUEST_MODULES[@]}" || exit 1
guest_host_root_run "$work" 1500 "/bin/bash $guest_script $PWD $work" ||
    fail "cases in the guest failed; transcripts and pictures in $work"
echo "usb-qemu: passed in $((SECONDS - t0)) s (transcripts and pictures in $work)"
