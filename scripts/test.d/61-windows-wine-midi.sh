#!/usr/bin/env bash
# tavrin.exe on a real MIDI path: Wine's own WinMM (through winealsa) over the
# kernel's ALSA sequencer, in a Debian kernel booted under qemu, since this
# machine's kernel has no sound support. The guest loads snd-seq-dummy with two
# ports ("Midi Through Port-0" and "Port-1") and uses the host's root, shared
# read-only over 9p, as its own through chroot, with a read-write work folder
# beside it. One boot runs every case (scripts/test.d/lib/wine-midi-guest.sh):
# Xvfb and Wine in the guest, tavrin.exe driven as a person would, its boxes
# read by OCR.
#
# Pictures and the guest's console are left in build/windows/wine-midi/.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
source scripts/test.d/lib/wine.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_ENGINE_TEST_PACKAGES[@]}" \
    "${WINE_DESKTOP_PACKAGES[@]}" || exit 1

fail() { echo "windows-wine-midi: $*" >&2; exit 1; }
t0=$SECONDS

if ! ls midi/*.c* loopback/*.c* >/dev/null 2>&1; then
    echo "windows-wine-midi: SKIPPED: the MIDI layer and the loopback test are not in this tree yet"
    exit 0
fi
cmake --preset windows >/dev/null && cmake --build --preset windows -j2 >/dev/null ||
    fail "building tavrin.exe failed"
cmake --preset debug >/dev/null && cmake --build --preset debug -j2 --target seq_mangle >/dev/null ||
    fail "building seq_mangle failed"

# The guest's read-write folder: a copy of the Wine prefix, pictures, logs.
source scripts/test.d/lib/xvfb.sh
work=$PWD/build/windows/wine-midi
rm -rf "$work"; mkdir -p "$work"
wine_guest_prefix "$work" || exit 1

source scripts/test.d/lib/qemu-guest.sh
guest_host_root_prepare soundcore snd snd-seq-device snd-timer snd-seq snd-seq-dummy=ports=2 || exit 1

guest_host_root_run "$work" 1800 "/bin/bash $PWD/scripts/test.d/lib/wine-midi-guest.sh $PWD/build/windows/tavrin.exe \
$PWD/build/debug/tests/engines/seq_mangle $work" "TAVRIN_WINEDEBUG=${TAVRIN_WINEDEBUG:-}" ||
    fail "the cases in the guest failed; pictures in $work"
echo "windows-wine-midi: ok in $((SECONDS - t0)) s (pictures in $work)"
