# A Debian kernel booted under qemu (software emulation), with the ALSA
# sequencer and its "Midi Through" ports loaded: this machine's own kernel has
# no sound support. The one place that boots a guest; source it, then
#
#   guest_kernel                 fetches the kernel (cached in build/qemu-guest);
#                                sets GUEST_VMLINUZ and GUEST_MODDIR
#   guest_initramfs DIR MOD...   lays out an initramfs tree in DIR with busybox
#                                and the modules (each "name" or "name=args",
#                                after its dependencies, loaded by guest_start)
#   guest_boot DIR MEM SMP [QEMU ARGS...]
#                                packs DIR, writes DIR/init from stdin and boots;
#                                sets GUEST_PID and GUEST_LOG
#   guest_wait SECONDS           waits for the init's "guest-exit: N" line;
#                                sets GUEST_STATUS (empty when none came)
#   guest_output                 the lines between "guest: program starts" and
#                                "guest-exit:"
#   guest_stop                   ends the guest it booted
#   guest_host_root_prepare MOD...
#                                fetches the kernel, lays out an initramfs in
#                                a boot folder of its own (GUEST_BOOT, removed
#                                with the guest at exit) with the modules and
#                                what 9p needs, for the one below
#   guest_host_root_run WORK SECONDS COMMAND [VAR=VALUE...]
#                                boots it (2 GB, 2 vCPUs) with the host's root
#                                shared read-only and WORK read-write over 9p,
#                                mounted at /newroot with /dev, /proc, /sys,
#                                configfs and a fresh /tmp (the checkout and
#                                WORK stay visible even under /tmp); runs
#                                COMMAND there as root in a bare environment;
#                                prints its output, keeps the console in
#                                WORK/console.log; returns 0 only when COMMAND
#                                exited 0. Refuses, in one line, a checkout the
#                                guest cannot share.
#
# The init written by the caller runs busybox's sh, sources /guest-lib.sh and
# calls guest_start (busybox's commands, /proc, /sys, /dev, the modules),
# prints "guest: program starts", runs its work, and ends with
# "guest-exit: STATUS". Needs qemu-system-x86, busybox-static,
# kmod, cpio and xz-utils, installed by the caller.

GUEST_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
GUEST_CACHE=$GUEST_ROOT/build/qemu-guest
GUEST_PID=""
GUEST_LOG=""
GUEST_STATUS=""

# The kernel: linux-image-amd64 names the real package, whose name changes with
# every kernel update. Its files are taken from the package without installing
# it: this machine must not get a kernel, a boot loader hook or an initramfs run.
guest_kernel() {
    local kpkg kdir
    kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    if [ -z "$kpkg" ]; then
        apt-get update -q >/dev/null 2>&1
        kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    fi
    [ -n "$kpkg" ] || { echo "qemu-guest: linux-image-amd64 names no kernel package" >&2; return 1; }
    kdir=$GUEST_CACHE/$kpkg
    # (.complete-usb: the USB host, gadget and media modules were added)
    if [ ! -f "$kdir/.complete-usb" ]; then
        rm -rf "$kdir" && mkdir -p "$kdir/deb"
        (cd "$kdir/deb" && apt-get download "$kpkg" >/dev/null 2>&1) \
            || { echo "qemu-guest: cannot download $kpkg" >&2; return 1; }
        # Sound, what sharing the host's files over virtio 9p needs, and a USB
        # host and gadget joined in one kernel (dummy_hcd, configfs, f_midi).
        dpkg-deb --fsys-tarfile "$kdir"/deb/*.deb | tar -x -C "$kdir" --wildcards './boot/vmlinuz-*' \
            './lib/modules/*/kernel/sound/*' './lib/modules/*/kernel/fs/9p/*' \
            './lib/modules/*/kernel/drivers/usb/*' './lib/modules/*/kernel/drivers/media/mc/*' \
            './lib/modules/*/kernel/fs/configfs/*' \
            './lib/modules/*/kernel/fs/netfs/*' './lib/modules/*/kernel/fs/fscache/*' \
            './lib/modules/*/kernel/net/9p/*' './lib/modules/*/kernel/drivers/virtio/*' \
            || { echo "qemu-guest: cannot unpack $kpkg" >&2; return 1; }
        rm -rf "$kdir/deb"
        touch "$kdir/.complete-usb"
    fi
    GUEST_VMLINUZ=$(ls "$kdir"/boot/vmlinuz-* | head -1)
    GUEST_MODDIR=$(ls -d "$kdir"/lib/modules/*/kernel | head -1)
}

# Modules with their dependencies, each after what it needs. Compressed ones
# are unpacked here, so the guest needs only busybox's insmod.
guest_initramfs() {
    local ir=$1 module name
    shift
    mkdir -p "$ir"/{bin,dev,proc,sys,tmp,modules}
    cp /bin/busybox "$ir/bin/busybox"
    declare -A loaded=()
    local order=()
    _guest_add_module() {
        local name=$1 file dep
        [ -n "${loaded[$name]:-}" ] && return 0
        file=$(find "$GUEST_MODDIR" -name "$name.ko" -o -name "$name.ko.xz" -o -name "$name.ko.zst" | head -1)
        [ -n "$file" ] || { echo "qemu-guest: module $name not in the kernel package" >&2; return 1; }
        loaded[$name]=1
        for dep in $(modinfo -F depends "$file" | tr ',' ' '); do _guest_add_module "$dep" || return 1; done
        case "$file" in
            *.xz) xz -dc "$file" >"$ir/modules/$name.ko" ;;
            *.zst) zstd -qdc "$file" >"$ir/modules/$name.ko" ;;
            *) cp "$file" "$ir/modules/$name.ko" ;;
        esac
        order+=("$name")
    }
    for module in "$@"; do
        name=${module%%=*}
        _guest_add_module "$name" || return 1
        [ "$module" != "$name" ] && echo "${module#*=}" >"$ir/modules/$name.args"
    done
    printf '%s\n' "${order[@]}" >"$ir/modules/order"
    cat >"$ir/guest-lib.sh" <<'LIB'
# The guest's first steps: busybox's commands, /proc, /sys, /dev, the modules.
guest_start() {
    local m
    /bin/busybox --install -s /bin
    mount -t proc proc /proc
    mount -t sysfs sys /sys
    mount -t devtmpfs dev /dev
    for m in $(cat /modules/order); do
        insmod /modules/$m.ko $(cat /modules/$m.args 2>/dev/null) || echo "guest: insmod $m failed"
    done
}
LIB
}

guest_boot() {
    local ir=$1 mem=$2 smp=$3 work
    shift 3
    work=$(dirname "$ir")
    cat >"$ir/init"
    chmod +x "$ir/init"
    (cd "$ir" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz" || return 1
    GUEST_LOG=$work/serial.log
    # Several vCPUs run on threads of their own (multi-threaded TCG).
    qemu-system-x86_64 -accel tcg,thread=multi -m "$mem" -smp "$smp" -nographic -no-reboot \
        -kernel "$GUEST_VMLINUZ" -initrd "$work/initrd.gz" \
        -append "console=ttyS0 panic=-1 quiet loglevel=3" "$@" </dev/null >"$GUEST_LOG" 2>&1 &
    GUEST_PID=$!
}

# The console with carriage returns and terminal escapes taken out.
guest_console() { tr -d '\r' <"$GUEST_LOG" | sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g; s/\x1b[a-zA-Z]//g'; }
guest_output() { guest_console | sed -n '/^guest: program starts/,/^guest-exit:/p'; }

guest_wait() {
    local end=$((SECONDS + $1))
    GUEST_STATUS=""
    while [ $SECONDS -lt $end ]; do
        GUEST_STATUS=$(guest_console | grep -a -m1 '^guest-exit: ')
        [ -n "$GUEST_STATUS" ] && break
        kill -0 "$GUEST_PID" 2>/dev/null || break
        sleep 0.2
    done
    [ -z "$GUEST_STATUS" ] && GUEST_STATUS=$(guest_console | grep -a -m1 '^guest-exit: ')
    GUEST_STATUS=${GUEST_STATUS#guest-exit: }
}

guest_stop() {
    [ -n "$GUEST_PID" ] && kill "$GUEST_PID" 2>/dev/null && wait "$GUEST_PID" 2>/dev/null
    GUEST_PID=""
}

GUEST_BOOT=""
guest_host_root_prepare() {
    guest_kernel || return 1
    GUEST_BOOT=$(mktemp -d "$GUEST_CACHE/run.XXXXXX") || return 1
    trap 'guest_stop; rm -rf "$GUEST_BOOT"' EXIT
    guest_initramfs "$GUEST_BOOT/root" "$@" virtio_pci 9pnet_virtio 9p
}

guest_host_root_run() {
    local work=$1 deadline=$2 command=$3 mounts
    shift 3
    mounts=$(guest_host_root_init "$work") || return 1
    guest_boot "$GUEST_BOOT/root" 2048 2 \
        -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
        -virtfs "local,path=$work,mount_tag=work,security_model=none,multidevs=remap" <<INIT || return 1
#!/bin/busybox sh
. /guest-lib.sh
guest_start
$mounts
echo; echo "guest: program starts"
chroot \$r /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/tmp TERM=dumb LANG=C.UTF-8 \
    $* $command
echo "guest-exit: \$?"
poweroff -f
INIT
    guest_wait "$deadline"
    guest_console >"$work/console.log"
    guest_output | sed 's/^/  | /'
    if [ -z "$GUEST_STATUS" ]; then
        guest_console | tail -n 30 >&2
        echo "qemu-guest: the guest gave no exit status within $deadline s" >&2
        return 1
    fi
    [ "$GUEST_STATUS" = 0 ]
}

# The guest's init mounts a fresh /tmp over the host's: a checkout or work
# folder under /tmp is mounted again on top of it from the host's root, kept
# reachable at /hostroot. Paths go into the init unquoted, so a folder with
# blanks or quotes, or one in a kernel file system, cannot be shared.
# Whether the guest can share the checkout: one line when it cannot.
guest_folder_ok() {
    local root=$GUEST_ROOT work=${1:-}
    case "$root" in
        /dev|/dev/*|/proc|/proc/*|/sys|/sys/*)
            echo "qemu-guest: a checkout under /dev, /proc or /sys cannot be shared with the guest: $root" >&2
            return 1 ;;
    esac
    if [[ "$root$work" =~ [^A-Za-z0-9._/+=@,:-] ]]; then
        echo "qemu-guest: the checkout's path has characters the guest's init cannot carry (blanks, quotes): $root" >&2
        return 1
    fi
}

# The init's lines that mount the shared folders.
guest_host_root_init() {
    local work=$1 root=$GUEST_ROOT
    guest_folder_ok "$work" || return 1
    cat <<INIT
r=/newroot
mkdir -p /hostroot \$r
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=loose,ro hostroot /hostroot || echo "guest: no host root"
mount -o bind /hostroot \$r
mount -t devtmpfs dev \$r/dev
mkdir -p \$r/dev/shm
mount -t tmpfs shm \$r/dev/shm
ln -s /proc/self/fd \$r/dev/fd
mount -t proc proc \$r/proc
mount -t sysfs sys \$r/sys
mount -t configfs configfs \$r/sys/kernel/config 2>/dev/null
mount -t tmpfs tmp \$r/tmp
case "$root" in /tmp/*) mkdir -p \$r$root && mount -o bind /hostroot$root \$r$root ;; esac
mkdir -p \$r$work 2>/dev/null
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=mmap work \$r$work || echo "guest: no work folder"
INIT
}
