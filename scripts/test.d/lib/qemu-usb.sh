# A USB MIDI interface in the qemu guest of qemu-guest.sh, with no hardware:
# dummy_hcd joins a USB device controller to a USB host controller in the one
# kernel, a configfs gadget with an f_midi function is the device, and the
# kernel's own USB MIDI class driver (snd-usb-audio) takes it up as a real
# interface. The one place that boots it. Source it on the host for
#
#   USB_GUEST_MODULES            the modules for guest_initramfs, in order
#
# and in the guest (as root) for
#
#   usb_up PORTS PRODUCT         makes the gadget with PORTS ports each way
#                                (1 to 4), binds it and waits (deadline 60 s)
#                                until both cards and their sequencer clients
#                                are up; sets USB_GADGET_CARD (the device's
#                                side: f_midi's rawmidi) and USB_HOST_CARD
#   usb_unplug                   unbinds the gadget, as pulling the cable does,
#                                and waits until the host's card has gone
#   usb_plug                     binds it again and waits as usb_up does
#
# The host's sequencer ports are named "PRODUCT MIDI 1" to "PRODUCT MIDI N".

# dummy_hcd as a full-speed controller: a class-compliant interface is a USB
# 1.1 device, whose bulk pipe moves about 1.2 KB a millisecond.
USB_GUEST_MODULES=(soundcore snd snd-timer snd-seq-device snd-seq snd-seq-dummy snd-rawmidi
    snd-seq-midi-event snd-seq-midi snd-hwdep usb-common usbcore snd-usbmidi-lib mc snd-pcm
    snd-usb-audio configfs udc-core libcomposite usb_f_midi dummy_hcd=is_high_speed=0)

USB_GADGET=/sys/kernel/config/usb_gadget/tavrin
USB_GADGET_CARD=""
USB_HOST_CARD=""
USB_PRODUCT=""

usb_up() {
    local ports=$1 f
    USB_PRODUCT=$2
    [ -d /sys/kernel/config/usb_gadget ] || { echo "qemu-usb: no configfs gadget support" >&2; return 1; }
    mkdir -p "$USB_GADGET" || return 1
    echo 0x1d6b >"$USB_GADGET/idVendor"   # Linux Foundation
    echo 0x0104 >"$USB_GADGET/idProduct"  # Multifunction Composite Gadget
    mkdir -p "$USB_GADGET/strings/0x409" "$USB_GADGET/configs/c.1/strings/0x409"
    echo "Tavrin tests" >"$USB_GADGET/strings/0x409/manufacturer"
    echo "$USB_PRODUCT" >"$USB_GADGET/strings/0x409/product"
    echo 0001 >"$USB_GADGET/strings/0x409/serialnumber"
    echo "MIDI" >"$USB_GADGET/configs/c.1/strings/0x409/configuration"
    f=$USB_GADGET/functions/midi.usb0
    mkdir -p "$f" || return 1
    echo "$ports" >"$f/in_ports"
    echo "$ports" >"$f/out_ports"
    # One full-speed packet a request. With larger requests (512 bytes by
    # default) the device side hands on what the host sent only when a
    # request fills or a short packet ends it, so a message whose last
    # USB-MIDI packets fill whole 64-byte packets waits there until the host
    # sends again, seconds later or in the next case. An interface's firmware
    # takes each packet as it comes.
    echo 64 >"$f/buflen"
    ln -s "$f" "$USB_GADGET/configs/c.1/" || return 1
    usb_plug
}

# The card whose /proc/asound/cards line matches $1.
_usb_card() { awk -v re="$1" '$0 ~ re && $1 ~ /^[0-9]+$/ {print $1; exit}' /proc/asound/cards; }

usb_plug() {
    local udc until=$((SECONDS + 60))
    udc=$(ls /sys/class/udc | head -1)
    [ -n "$udc" ] || { echo "qemu-usb: no USB device controller in /sys/class/udc" >&2; return 1; }
    echo "$udc" >"$USB_GADGET/UDC" || return 1
    USB_GADGET_CARD="" USB_HOST_CARD=""
    while :; do
        USB_GADGET_CARD=$(_usb_card 'f_midi')
        USB_HOST_CARD=$(_usb_card "USB-Audio - $USB_PRODUCT")
        if [ -n "$USB_GADGET_CARD" ] && [ -n "$USB_HOST_CARD" ] &&
            grep -q "^Client.*\"$USB_PRODUCT\"" /proc/asound/seq/clients &&
            grep -q "Port .*\"$USB_PRODUCT MIDI 1\"" /proc/asound/seq/clients &&
            [ -e "/dev/snd/midiC${USB_GADGET_CARD}D0" ] && [ -e "/dev/snd/midiC${USB_HOST_CARD}D0" ]; then
            return 0
        fi
        [ "$SECONDS" -lt "$until" ] && { sleep 0.1; continue; }
        echo "qemu-usb: within 60 s of binding, the cards were: $(tr '\n' '|' </proc/asound/cards)" >&2
        [ -n "$USB_GADGET_CARD" ] || echo "qemu-usb: the gadget's card (f_midi) did not come" >&2
        [ -n "$USB_HOST_CARD" ] || echo "qemu-usb: the host's card (USB-Audio - $USB_PRODUCT) did not come" >&2
        echo "qemu-usb: or the sequencer client \"$USB_PRODUCT\" or a rawmidi device did not come" >&2
        return 1
    done
}

usb_unplug() {
    local until=$((SECONDS + 60))
    echo "" >"$USB_GADGET/UDC" || return 1
    while [ -n "$(_usb_card "USB-Audio - $USB_PRODUCT")" ]; do
        [ "$SECONDS" -lt "$until" ] || { echo "qemu-usb: the host's card stayed 60 s after unbinding" >&2; return 1; }
        sleep 0.1
    done
}
