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
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 "${WINE_PACKAGES[@]}" \
    xvfb xdotool imagemagick tesseract-ocr tesseract-ocr-eng x11-utils || exit 1

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

# The prefix is made on this machine, where it takes a minute instead of ten.
source scripts/test.d/lib/xvfb.sh
wine_env "$PWD/build/windows/wine-prefix"
xvfb_start || fail "no display to make the Wine prefix on"
wine_prefix; made=$?
timeout 30 wineserver -k 2>/dev/null; timeout 30 wineserver -w 2>/dev/null
xvfb_stop
[ "$made" -eq 0 ] || exit 1

# The guest's read-write folder: a copy of the prefix (its files hard links,
# its registry real copies, since Wine writes those), pictures, logs.
work=$PWD/build/windows/wine-midi
rm -rf "$work"; mkdir -p "$work"
cp -al "$WINEPREFIX" "$work/prefix" || fail "cannot copy the Wine prefix"
for reg in "$WINEPREFIX"/*.reg; do rm "$work/prefix/$(basename "$reg")"; cp "$reg" "$work/prefix/"; done

source scripts/test.d/lib/qemu-guest.sh
guest_kernel || exit 1
boot=$(mktemp -d "$GUEST_CACHE/run.XXXXXX")
cleanup() {
    guest_stop
    rm -rf "$boot"
}
trap cleanup EXIT
guest_initramfs "$boot/root" soundcore snd snd-seq-device snd-timer snd-seq snd-seq-dummy=ports=2 \
    virtio_pci 9pnet_virtio 9p || exit 1

mounts=$(guest_host_root_init "$work") || exit 1
run="/bin/bash $PWD/scripts/test.d/lib/wine-midi-guest.sh $PWD/build/windows/tavrin.exe \
$PWD/build/debug/tests/engines/seq_mangle $work"
guest_boot "$boot/root" 2048 2 $(guest_host_root_args "$work") <<INIT || exit 1
#!/bin/busybox sh
. /guest-lib.sh
guest_start
$mounts
echo; echo "guest: program starts"
chroot \$r /usr/bin/env -i TAVRIN_WINEDEBUG=${TAVRIN_WINEDEBUG:-} PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/tmp TERM=\${TERM:-dumb} \
    LANG=C.UTF-8 $run
echo "guest-exit: \$?"
poweroff -f
INIT

guest_wait 1800
guest_console >"$work/console.log"
guest_output | sed 's/^/  | /'
[ -n "$GUEST_STATUS" ] || { guest_console | tail -n 30 >&2; fail "the guest gave no exit status within 1800 s"; }
[ "$GUEST_STATUS" = 0 ] || fail "the cases in the guest failed (status $GUEST_STATUS); pictures in $work"
echo "windows-wine-midi: ok in $((SECONDS - t0)) s (pictures in $work)"
