#!/usr/bin/env bash
# Runs one program inside a Debian kernel booted under qemu (software
# emulation), with the ALSA sequencer and its "Midi Through" port loaded: this
# machine's own kernel has no sound support.
#
#   qemu-alsa.sh [--expect REGEX] [--timeout SECONDS] PROGRAM [ARGS...]
#
# Prints the program's output from the guest and its exit status, and exits 0
# only when the program exited 0 and (with --expect) printed a matching line.
# The program and its shared libraries go into the guest's initramfs. Needs
# the packages of TAVRIN_ENGINE_TEST_PACKAGES (scripts/deps.sh), installed by
# the caller.
set -uo pipefail

expect=""
deadline_s=180
while [ $# -gt 0 ]; do
    case "$1" in
        --expect) expect="$2"; shift 2 ;;
        --timeout) deadline_s="$2"; shift 2 ;;
        *) break ;;
    esac
done
[ $# -ge 1 ] || { echo "usage: $0 [--expect REGEX] [--timeout S] PROGRAM [ARGS...]" >&2; exit 2; }
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
guest_initramfs "$ir" soundcore snd snd-seq-device snd-timer snd-seq snd-seq-dummy || exit 1
mkdir -p "$ir"/{usr/share/alsa,test}
cp /usr/share/alsa/alsa.conf "$ir/usr/share/alsa/"

# The program and its shared libraries, at the paths the loader looks for.
cp "$program" "$ir/test/program"
ldd "$program" | awk '/=> \// {print $3} /^\t\// {print $1}' | while read -r lib; do
    mkdir -p "$ir$(dirname "$lib")"
    cp -L "$lib" "$ir$lib"
done
printf '%q ' "$@" >"$ir/test/args"

guest_boot "$ir" 768 1 <<'INIT' || exit 1
#!/bin/busybox sh
. /guest-lib.sh
guest_start
echo; echo "guest: program starts"
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
