#!/usr/bin/env bash
# Runs one program inside a Debian kernel booted under qemu (software
# emulation), with the ALSA sequencer and its "Midi Through" port loaded: this
# machine's own kernel has no sound support.
#
#   qemu-alsa.sh [--expect REGEX] [--timeout SECONDS] PROGRAM [ARGS...]
#
# Prints the program's output from the guest and its exit status, and exits 0
# only when the program exited 0 and (with --expect) printed a matching line.
# Needs the packages of qemu_alsa_packages (see below), installed by the caller.
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

root=$(cd "$(dirname "$0")/../../.." && pwd)
cache="$root/build/qemu-alsa"
mkdir -p "$cache"

# The kernel: linux-image-amd64 names the real package, whose name changes with
# every kernel update. Its files are taken from the package without installing
# it: this machine must not get a kernel, a boot loader hook or an initramfs run.
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
if [ -z "$kpkg" ]; then
    apt-get update -q >/dev/null 2>&1
    kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
fi
[ -n "$kpkg" ] || { echo "qemu-alsa: linux-image-amd64 names no kernel package" >&2; exit 1; }
kdir="$cache/$kpkg"
if [ ! -f "$kdir/.complete" ]; then
    rm -rf "$kdir" && mkdir -p "$kdir/deb"
    (cd "$kdir/deb" && apt-get download "$kpkg" >/dev/null 2>&1) \
        || { echo "qemu-alsa: cannot download $kpkg" >&2; exit 1; }
    dpkg-deb --fsys-tarfile "$kdir"/deb/*.deb \
        | tar -x -C "$kdir" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/sound/*' \
        || { echo "qemu-alsa: cannot unpack $kpkg" >&2; exit 1; }
    rm -rf "$kdir/deb"
    touch "$kdir/.complete"
fi
vmlinuz=$(ls "$kdir"/boot/vmlinuz-* | head -1)
moddir=$(ls -d "$kdir"/lib/modules/*/kernel | head -1)

# The initramfs.
work=$(mktemp -d "$cache/run.XXXXXX")
cleanup() {
    [ -n "${qemu_pid:-}" ] && kill "$qemu_pid" 2>/dev/null && wait "$qemu_pid" 2>/dev/null
    [ -n "${QEMU_ALSA_KEEP:-}" ] && echo "qemu-alsa: kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
ir="$work/root"
mkdir -p "$ir"/{bin,dev,proc,sys,tmp,modules,usr/share/alsa,test}

cp /bin/busybox "$ir/bin/busybox"

# Modules with their dependencies, each after what it needs. Compressed ones
# are unpacked here, so the guest needs only busybox's insmod.
declare -A loaded=()
order=()
find_module() { find "$moddir" -name "$1.ko" -o -name "$1.ko.xz" -o -name "$1.ko.zst" | head -1; }
add_module() {
    local name=$1 file dep
    [ -n "${loaded[$name]:-}" ] && return 0
    file=$(find_module "$name")
    [ -n "$file" ] || { echo "qemu-alsa: module $name not in $kpkg" >&2; return 1; }
    loaded[$name]=1
    for dep in $(modinfo -F depends "$file" | tr ',' ' '); do add_module "$dep" || return 1; done
    case "$file" in
        *.xz) xz -dc "$file" >"$ir/modules/$name.ko" ;;
        *.zst) zstd -qdc "$file" >"$ir/modules/$name.ko" ;;
        *) cp "$file" "$ir/modules/$name.ko" ;;
    esac
    order+=("$name")
}
for m in soundcore snd snd-seq-device snd-timer snd-seq snd-seq-dummy; do add_module "$m" || exit 1; done
printf '%s\n' "${order[@]}" >"$ir/modules/order"

cp /usr/share/alsa/alsa.conf "$ir/usr/share/alsa/"

# The program and its shared libraries, at the paths the loader looks for.
cp "$program" "$ir/test/program"
ldd "$program" | awk '/=> \// {print $3} /^\t\// {print $1}' | while read -r lib; do
    mkdir -p "$ir$(dirname "$lib")"
    cp -L "$lib" "$ir$lib"
done
printf '%q ' "$@" >"$ir/test/args"

cat >"$ir/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do
    insmod /modules/$m.ko || echo "guest: insmod $m failed"
done
echo; echo "guest: program starts"
eval "/test/program $(cat /test/args)"
echo "guest-exit: $?"
poweroff -f
INIT
chmod +x "$ir/init"
(cd "$ir" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# Boot; the serial console is the guest's output.
log="$work/serial.log"
qemu-system-x86_64 -accel tcg -m 768 -smp 1 -nographic -no-reboot \
    -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3" </dev/null >"$log" 2>&1 &
qemu_pid=$!

# The console with carriage returns and terminal escapes taken out.
guest_log() { tr -d '\r' <"$log" | sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g; s/\x1b[a-zA-Z]//g'; }
program_output() { guest_log | sed -n '/^guest: program starts/,/^guest-exit:/p'; }

end=$((SECONDS + deadline_s))
status=""
while [ $SECONDS -lt $end ]; do
    status=$(guest_log | grep -a -m1 '^guest-exit: ')
    [ -n "$status" ] && break
    kill -0 "$qemu_pid" 2>/dev/null || break
    sleep 0.2
done
[ -z "$status" ] && status=$(guest_log | grep -a -m1 '^guest-exit: ')

program_output | sed 's/^/  | /'
if [ -z "$status" ]; then
    echo "qemu-alsa: the guest gave no exit status within ${deadline_s}s; its console said:" >&2
    guest_log | tail -n 30 >&2
    exit 1
fi
rc=${status#guest-exit: }
if [ -n "$expect" ] && ! program_output | grep -Eq -- "$expect"; then
    echo "qemu-alsa: no line matching '$expect' came from the guest" >&2
    exit 1
fi
[ "$rc" = 0 ] || { echo "qemu-alsa: the program exited with $rc in the guest" >&2; exit 1; }
exit 0
