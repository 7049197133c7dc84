#!/usr/bin/env bash
# Runs one program inside a Debian kernel booted under qemu (software
# emulation), with the ALSA sequencer and its "Midi Through" port loaded: this
# machine's own kernel has no sound support.
#
#   qemu-alsa.sh [--expect REGEX] [--timeout SECONDS] [--module NAME[=ARGS]]...
#                [--bin PROGRAM]... PROGRAM [ARGS...]
#
# --module loads one more kernel module (snd-virmidi=midi_devs=2, say); --bin
# puts one more program into the guest's PATH, so that PROGRAM may be a shell
# script that runs several (one boot for a whole table of cases).
# Prints the program's output from the guest and its exit status, and exits 0
# only when the program exited 0 and (with --expect) printed a matching line.
# The program and its shared libraries go into the guest's initramfs. Needs
# the packages of TAVRIN_ENGINE_TEST_PACKAGES (scripts/deps.sh), installed by
# the caller.
set -uo pipefail

expect=""
deadline_s=180
modules=()
bins=()
while [ $# -gt 0 ]; do
    case "$1" in
        --expect) expect="$2"; shift 2 ;;
        --timeout) deadline_s="$2"; shift 2 ;;
        --module) modules+=("$2"); shift 2 ;;
        --bin) bins+=("$(readlink -f "$(command -v "$2")")"); shift 2 ;;
        *) break ;;
    esac
done
[ $# -ge 1 ] || { echo "usage: $0 [--expect REGEX] [--timeout S] [--module M]... [--bin P]... PROGRAM [ARGS...]" >&2; exit 2; }
program=$(readlink -f "$1"); shift
[ -x "$program" ] || { echo "qemu-alsa: no program at $program" >&2; exit 2; }

source "$(dirname "$0")/qemu-guest.sh"
guest_kernel || exit 1
mkdir -p "$GUEST_CACHE"
work=$(mktemp -d "$GUEST_CACHE/run.XXXXXX")
cleanup() {
    guest_stop
    [ -n "${QEMU_ALSA_KEEP:-}" ] && echo "qemu-alsa: kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
ir="$work/root"
guest_initramfs "$ir" soundcore snd snd-seq-device snd-timer snd-seq snd-seq-dummy "${modules[@]}" || exit 1
mkdir -p "$ir"/{usr/share/alsa,test/bin}
cp /usr/share/alsa/alsa.conf "$ir/usr/share/alsa/"

# The programs and their shared libraries, at the paths the loader looks for.
cp "$program" "$ir/test/program"
for bin in "${bins[@]}"; do
    [ -x "$bin" ] || { echo "qemu-alsa: no program at $bin" >&2; exit 2; }
    cp "$bin" "$ir/test/bin/"
done
for bin in "$program" "${bins[@]}"; do
    ldd "$bin" 2>/dev/null | awk '/=> \// {print $3} /^\t\// {print $1}'
done | sort -u | while read -r lib; do
    mkdir -p "$ir$(dirname "$lib")"
    cp -L "$lib" "$ir$lib"
done
printf '%q ' "$@" >"$ir/test/args"

guest_boot "$ir" 768 1 <<'INIT' || exit 1
#!/bin/busybox sh
. /guest-lib.sh
guest_start
echo; echo "guest: program starts"
export PATH=/test/bin:$PATH
eval "/test/program $(cat /test/args)"
echo "guest-exit: $?"
poweroff -f
INIT

guest_wait "$deadline_s"
guest_output | sed 's/^/  | /'
if [ -z "$GUEST_STATUS" ]; then
    echo "qemu-alsa: the guest gave no exit status within ${deadline_s}s; its console said:" >&2
    guest_console | tail -n 30 >&2
    exit 1
fi
if [ -n "$expect" ] && ! guest_output | grep -Eq -- "$expect"; then
    echo "qemu-alsa: no line matching '$expect' came from the guest" >&2
    exit 1
fi
[ "$GUEST_STATUS" = 0 ] || { echo "qemu-alsa: the program exited with $GUEST_STATUS in the guest" >&2; exit 1; }
exit 0
