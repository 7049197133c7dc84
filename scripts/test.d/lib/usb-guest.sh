#!/usr/bin/env bash
# Runs inside the qemu guest of scripts/test.d/58-usb-qemu.sh, whose root is
# the host's: the USB MIDI interface of lib/qemu-usb.sh with four ports, its
# DIN side played by tests/engines/usb_din, and Tavrin over it.
#
#   usb-guest.sh CHECKOUT WORK
#
# Each case starts usb_din with its own cables and faults, runs once, and
# stops it. A failure names the case and what it saw; transcripts go to WORK.
set -uo pipefail
root=$1 work=$2
cd "$root" || exit 1
source scripts/test.d/lib/qemu-usb.sh
cli=$root/build/debug/cli/tavrin-cli
din=$root/build/debug/tests/engines/usb_din
product="Test Interface"
port() { echo "$product MIDI $1"; }
failed=0
say() { echo "usb [$SECONDS s]: $*"; }
bad() { say "FAILED: $*"; failed=1; }

usb_up 4 "$product" || exit 1
say "interface up: gadget card $USB_GADGET_CARD, host card $USB_HOST_CARD"

DIN_PID=""
din_start() {  # usb_din options
    local until=$((SECONDS + 30))
    "$din" --card "$USB_GADGET_CARD" --ports 4 "$@" >"$work/din.log" 2>&1 &
    DIN_PID=$!
    until grep -q '^usb_din: ready' "$work/din.log"; do
        kill -0 "$DIN_PID" 2>/dev/null || { say "usb_din ended: $(cat "$work/din.log")"; return 1; }
        [ "$SECONDS" -lt "$until" ] || { say "usb_din was not ready within 30 s"; return 1; }
        sleep 0.1
    done
}
din_stop() {
    [ -n "$DIN_PID" ] || return 0
    kill "$DIN_PID" 2>/dev/null; wait "$DIN_PID" 2>/dev/null
    DIN_PID=""
    grep -v '^usb_din: ready\|received 0,' "$work/din.log" | sed 's/^/    /'
}
trap din_stop EXIT

# The median latency (ms) in a summary.
median() { sed -n 's/^latency ms: .*median \([0-9.]*\),.*/\1/p' "$1"; }

# ---- tavrin-cli, table-driven --------------------------------------------
# USB-MIDI packing sends a real-time byte at once, ahead of SysEx bytes still
# waiting to fill their packet: every byte of the realtime pattern comes back,
# its last real-time byte ahead of the SysEx buffer it follows, so every run
# is reordered.
# name | usb_din options | tavrin-cli arguments | summary line expected
# The long SysEx runs must also take the wire time (bytes x 320 us) plus the
# latency beside the wire (the standard message's median less its own 258
# bytes' wire time), within 10 % of the wire time.
# The notes pattern: every byte reaches the host's card and Tavrin, under load
# too. Bytes it once lost mid-stream were the DIN side's: a busy guest kept
# usb_din from reading, the gadget's 4 KiB input buffer overflowed, and its
# catch-up afterwards came faster than any wire, beyond the 1,024 messages
# Tavrin's input holds unread.
# The mixed pattern keeps running status on this path.
# Under emulation the host's USB-MIDI input now and then holds a packet for
# more than two seconds when the guest's CPUs are busy: the runs here wait
# five seconds for the next byte, as they would for a slow interface.
cases=(
"standard|  |test --timeout 5000 --in 1 --out 1 --count 20|runs 20, successes 20, failures 0, time-outs 0"
"through|  |test --timeout 5000 --in Midi~Through~Port-0 --out Midi~Through~Port-0 --count 20|runs 20, successes 20, failures 0, time-outs 0"
"realtime|  |test --timeout 5000 --in 1 --out 1 --count 5 --pattern realtime|^faults: 5 reordered$"
"notes|  |test --timeout 5000 --in 1 --out 1 --count 3 --pattern notes|runs 3, successes 3, failures 0, time-outs 0"
"mixed|  |test --timeout 5000 --in 1 --out 1 --count 3 --pattern mixed|runs 3, successes 3, failures 0, time-outs 0"
"sysex:4096|  |test --timeout 5000 --in 1 --out 1 --pattern sysex:4096|runs 1, successes 1, failures 0, time-outs 0"
"sysex:16384|  |test --timeout 5000 --in 1 --out 1 --pattern sysex:16384|runs 1, successes 1, failures 0, time-outs 0"
"sysex:65536|  |test --timeout 5000 --in 1 --out 1 --pattern sysex:65536|runs 1, successes 1, failures 0, time-outs 0"
"crossed|--route 1:3 --route 3:1 --route 2:4 --route 4:2|test --timeout 5000 --in 3 --out 1 --count 3|runs 3, successes 3, failures 0, time-outs 0"
"crossed-4|--route 1:3 --route 3:1 --route 2:4 --route 4:2|test --timeout 5000 --in 2 --out 4 --count 3|runs 3, successes 3, failures 0, time-outs 0"
"unlooped|--route 2:-|test --in 2 --out 2 --timeout 1000|runs 1, successes 0, failures 0, time-outs 1"
"corrupt|--corrupt 100/1|test --timeout 5000 --in 1 --out 1|^run 1/1 at .*: corrupted at byte 100 \(0x64\): expected 63, received 62"
"dropped|--drop 7/1|test --timeout 5000 --in 1 --out 1|^run 1/1 at .*: dropped: 1 byte missing, the first at byte 7 \(0x7\); 257 of 258 bytes came"
"sensing|--sense 300|test --timeout 5000 --in 1 --out 1 --count 10|runs 10, successes 10, failures 0, time-outs 0"
"sensing-sysex|--sense 300|test --timeout 5000 --in 1 --out 1 --pattern sysex:4096|runs 1, successes 1, failures 0, time-outs 0"
"all-loops|  |test --all-loops --count 5|^crosstalk: .* \(none\)$"
)
latency_ms=""
for row in "${cases[@]}"; do
    IFS='|' read -r name opts args expect <<<"$row"
    # Port numbers become the interface's port names; ~ stands for a blank.
    read -ra argv <<<"$args"
    for i in "${!argv[@]}"; do
        argv[$i]=${argv[$i]//\~/ }
        case "${argv[$((i > 0 ? i - 1 : 0))]}" in --in|--out) [[ "${argv[$i]}" =~ ^[1-4]$ ]] && argv[$i]=$(port "${argv[$i]}") ;; esac
    done
    # shellcheck disable=SC2086
    din_start $opts || { bad "$name: no DIN side"; continue; }
    t=$SECONDS
    timeout 120 "$cli" "${argv[@]}" >"$work/cli-$name.txt" 2>&1
    status=$?
    din_stop
    grep -v '^ *[0-9.]* - \|^latency histogram' "$work/cli-$name.txt" | sed "s/^/  $name | /"
    say "$name: exit status $status after $((SECONDS - t)) s"
    [ "$status" -eq 124 ] && { bad "$name: tavrin-cli did not end within 120 s"; continue; }
    grep -Eq -- "$expect" "$work/cli-$name.txt" || { bad "$name: no line /$expect/"; continue; }
    case "$name" in
        all-loops)  # the four loops of the interface at once (and the kernel's Midi Through beside them)
            [ "$(grep -Ec "^pair [0-9]+: output [0-9]+ \"$product MIDI ([1-4])\" -> input [0-9]+ \"$product MIDI \1\"$" \
                "$work/cli-$name.txt")" -eq 4 ] && [ "$(grep -c '^pair [0-9]*: ' "$work/cli-$name.txt")" -eq \
                "$(grep -c '^runs 5, successes 5, failures 0, time-outs 0$' "$work/cli-$name.txt")" ] ||
                bad "$name: not the interface's four loops, each 5 of 5"
            ;;
        standard) latency_ms=$(awk -v m="$(median "$work/cli-standard.txt")" 'BEGIN {print m - 258 * 0.32}') ;;
        sysex:*)
            n=${name#sysex:}
            took=$(median "$work/cli-$name.txt")
            awk -v n="$n" -v t="$took" -v l="${latency_ms:-0}" 'BEGIN {
                wire = n * 0.32; want = wire + l
                printf "  %s: %.0f ms against %.0f ms of wire time and %.1f ms of latency (%+.1f %% of the wire time)\n",
                    "sysex:" n, t, wire, l, 100 * (t - want) / wire
                exit (t - want > 0.1 * wire || want - t > 0.1 * wire) }' ||
                bad "$name: the run's time is not within 10 % of the wire time plus the latency"
            ;;
    esac
done

# ---- compare: the engines side by side over the paced interface ------------
# The sequencer and rawmidi (JACK runs nowhere here) over the same loop: every
# pattern but realtime 2 of 2 on both, realtime reordered on both by the USB
# packing below them, which the closing line names. A shorter SysEx than the
# default 64 KiB keeps it to half a minute at the wire rate.
# Now and then (3 runs in 50) a notes run through rawmidi comes back with a
# USB-MIDI packet's worth of bytes from earlier in the stream in place of the
# bytes due, while usb_din's own streams in and out were exact: the emulated
# USB path (f_midi, dummy_hcd, the host's USB MIDI driver) delivered a stale
# packet. rawmidi sends at USB speed, as f_midi cannot hold the host off, and
# meets it far more often than the sequencer, which paces to the wire. That
# run is accepted as what it is, and the closing line then names rawmidi.
din_start || bad "compare: no DIN side"
compare=(compare --in "$(port 1)" --out "$(port 1)" --count 2 --timeout 5000
    --pattern standard --pattern sysex:4096 --pattern notes --pattern realtime)
t=$SECONDS
timeout 300 "$cli" "${compare[@]}" >"$work/cli-compare.txt" 2>&1
status=$?
din_stop
printf '%q ' tavrin-cli "${compare[@]}" >"$work/compare-command.txt"
sed 's/^/  compare | /' "$work/cli-compare.txt"
say "compare: exit status $status after $((SECONDS - t)) s"
[ "$status" -eq 0 ] || bad "compare: exit status $status"
for engine in rawmidi alsa; do
    [ "$(grep -Ec "^$engine +(standard|sysex:4096|notes) +2/2 +- " "$work/cli-compare.txt")" -eq 3 ] ||
        { [ "$engine" = rawmidi ] && grep -Eq "^$engine +notes +1/2 +1 corrupted " "$work/cli-compare.txt" &&
            [ "$(grep -Ec "^$engine +(standard|sysex:4096) +2/2 +- " "$work/cli-compare.txt")" -eq 2 ]; } &&
        grep -Eq "^$engine +realtime +0/2 +2 reordered " "$work/cli-compare.txt" ||
        bad "compare: the $engine rows are not 2/2 for standard, sysex:4096 and notes and reordered for realtime"
done
grep -Eq '^jack +not running here$' "$work/cli-compare.txt" || bad "compare: no JACK row saying it is not running"
below='realtime comes back wrong through every engine \(2 of 2 runs: 2 reordered\): the layer below them'
stale='rawmidi loses notes \(1 of 2 runs: 1 corrupted\); the sequencer carries it$'
grep -Eq "^verdict: ($below|$stale)" "$work/cli-compare.txt" ||
    bad "compare: the closing line names neither realtime's reordering below the engines nor rawmidi's notes"

# ---- what USB-MIDI packing does to the bytes (reported) --------------------
# Running status, and a clock byte inside SysEx, sent and caught raw on the
# host's card with amidi (every real-time byte shown).
din_start || bad "packing: no DIN side"
amidi -p "hw:$USB_HOST_CARD,0,0" -a -c -d -t 2 >"$work/packing.txt" 2>&1 &
catcher=$!
until=$((SECONDS + 30))
until grep -q 'Owner PID' "/proc/asound/card$USB_HOST_CARD/midi0"; do
    [ "$SECONDS" -lt "$until" ] || { bad "packing: amidi did not open the input"; break; }
    sleep 0.1
done
sent="90 3C 7F 3E 40 F0 01 02 03 F8 04 05 06 07 F7"
amidi -p "hw:$USB_HOST_CARD,0,0" -S "$sent"
wait "$catcher"
din_stop
say "packing: sent $sent; came back $(grep -v '^$' "$work/packing.txt" | tr '\n' ' ')"

# ---- wiring: the four loops, then the crossed map -------------------------
for map in "" "--route 1:3 --route 3:1 --route 2:4 --route 4:2"; do
    # shellcheck disable=SC2086
    din_start $map || { bad "wiring: no DIN side"; continue; }
    timeout 120 "$cli" wiring >"$work/cli-wiring.txt" 2>&1
    din_stop
    sed 's/^/  wiring | /' "$work/cli-wiring.txt"
    for k in 1 2 3 4; do
        to=$k
        [ -n "$map" ] && to=$(( (k + 1) % 4 + 1 ))
        grep -Eq "^ *[0-9]+ $(port "$k") -> input [0-9]+ $(port "$to")\$" "$work/cli-wiring.txt" ||
            bad "wiring ${map:-(straight)}: output $k does not reach input $to"
    done
done

# ---- unplugged mid-run, plugged in again -----------------------------------
din_start || bad "unplug: no DIN side"
# The host card's count of bytes sent to port 1.
tx() { awk '/Tx bytes/ {print $4; exit}' "/proc/asound/card$USB_HOST_CARD/midi0" 2>/dev/null; }
before=$(tx)
"$cli" test --in "$(port 1)" --out "$(port 1)" --pattern sysex:16384 >"$work/cli-unplug.txt" 2>&1 &
run=$!
until=$((SECONDS + 60))
until [ "$(tx)" -gt $((before + 1000)) ]; do
    [ "$SECONDS" -lt "$until" ] || { bad "unplug: the run sent nothing within 60 s"; break; }
    sleep 0.1
done
usb_unplug || bad "unplug: the interface did not go"
say "unplugged during the run"
until=$((SECONDS + 60))
while kill -0 "$run" 2>/dev/null && [ "$SECONDS" -lt "$until" ]; do sleep 0.2; done
if kill -0 "$run" 2>/dev/null; then
    kill "$run"; bad "unplug: tavrin-cli was still running 60 s after the interface went"
fi
wait "$run"; status=$?
din_stop
sed 's/^/  unplug | /' "$work/cli-unplug.txt"
say "unplug: tavrin-cli exit status $status"
# The input hears at once that its subscription ended, whichever side the
# kernel takes down first: the run ends as the engine's error.
[ "$status" -eq 69 ] || bad "unplug: tavrin-cli's exit status is $status, not 69"
grep -Eq '^faults: 1 error$' "$work/cli-unplug.txt" && grep -q 'MIDI input .*: The ALSA sequencer port of this MIDI input was removed' \
    "$work/cli-unplug.txt" || bad "unplug: the run did not end as the engine's error on the input"
usb_plug || bad "unplug: the interface did not come back"
din_start || bad "replug: no DIN side"
timeout 120 "$cli" test --in "$(port 1)" --out "$(port 1)" --count 3 >"$work/cli-replug.txt" 2>&1
din_stop
grep '^runs' "$work/cli-replug.txt" | sed 's/^/  replug | /'
grep -q '^runs 3, successes 3, failures 0, time-outs 0$' "$work/cli-replug.txt" || bad "replug: 3 runs did not pass"

# ---- the desktop program over the USB port, Xvfb in the guest -------------
# Each action is taken once, after the state that shows it can be taken.
source scripts/test.d/lib/xvfb.sh
source scripts/test.d/lib/wine.sh
APP_PID=""
stop_all() {
    din_stop
    [ -n "$APP_PID" ] && { kill "$APP_PID" 2>/dev/null; wait "$APP_PID" 2>/dev/null; }
    APP_PID=""
    timeout 30 wineserver -k 2>/dev/null
    xvfb_stop
}
trap stop_all EXIT
xvfb_start "$work/xvfb.log" || { bad "no Xvfb display in the guest"; exit 1; }
export OMP_THREAD_LIMIT=1  # tesseract: one thread is faster under emulation

# Reads window $1 by OCR into $work/$2.txt until it says $3 (deadline 60 s).
box_says() {
    local until=$((SECONDS + 60)) said
    while :; do
        import -window "$1" "$work/$2.png" 2>/dev/null
        convert "$work/$2.png" -resize 300% -colorspace Gray "$work/$2-ocr.png" 2>/dev/null
        tesseract "$work/$2-ocr.png" "$work/$2" >/dev/null 2>&1
        said=$(tr '\n' ' ' <"$work/$2.txt" | tr -s ' ' | sed 's/\bOx/0x/g')
        [[ "$said" == *"$3"* ]] && return 0
        [ "$SECONDS" -lt "$until" ] || { bad "the $2 box says \"$said\", not \"$3\""; return 1; }
        sleep 0.5
    done
}
# A popup menu of tavrin's: an override-redirect window.
menu_open() {
    local id
    for id in $(xdotool search --onlyvisible --classname '^tavrin$' 2>/dev/null); do
        xwininfo -id "$id" 2>/dev/null | grep -q 'Override Redirect State: yes' && return 0
    done
    return 1
}
# Chooses the sixth item of the menu of mnemonic $1 (its first item lit as it
# opens): the interface's port 1 comes after Midi Through and the gadget's own.
choose_sixth() {
    local until=$((SECONDS + 30))
    xdotool key --clearmodifiers "alt+$1"
    until menu_open; do
        [ "$SECONDS" -lt "$until" ] || { bad "Alt+${1^^} opened no menu"; return 1; }
        sleep 0.1
    done
    import -window root "$work/desktop-menu-$1.png"
    xdotool key Down Down Down Down Down Return
    until ! menu_open; do
        [ "$SECONDS" -lt "$until" ] || { bad "the menu of Alt+${1^^} stayed open"; return 1; }
        sleep 0.1
    done
}
# The first visible, named window other than the main window (deadline $1
# s): a verdict box, or any other box the program shows instead.
next_box() {
    local until=$((SECONDS + $1)) id
    while [ "$SECONDS" -lt "$until" ]; do
        for id in $(xdotool search --onlyvisible --name '.' 2>/dev/null); do
            [ "$id" != "$MAIN" ] && { echo "$id"; return 0; }
        done
        kill -0 "$APP_PID" 2>/dev/null || return 1
        sleep 0.2
    done
    return 1
}
# TEST clicked once (as scripts/test.d/70-desktop-xvfb.sh finds it: (width -
# 225) / 2 across, 11 lines below the menu bar, a line (height - 75) / 14),
# the box that comes read ($2) and answered with Enter; $3, when given, is
# done right after the click.
desktop_test() {  # name, text of the verdict, what happens meanwhile
    local box w h lh mb WIDTH HEIGHT
    eval "$(xdotool getwindowgeometry --shell "$MAIN")"
    w=$WIDTH; h=$HEIGHT; lh=$(( (h - 75) / 14 )); mb=$(( h - 14 * lh - 75 + 24 ))
    xdotool mousemove --window "$MAIN" $(( (w - 225) / 2 + 37 )) $(( mb + 11 * lh + 12 )) click 1
    [ -z "${3:-}" ] || $3 || bad "desktop $1: $3 failed"
    box=$(next_box 120) || {
        import -window root "$work/desktop-$1-none.png"
        bad "desktop $1: no box came within 120 s of TEST"; return 1; }
    # The whole screen with the box up, for the record.
    box_says "$box" "desktop-$1" "$2" && import -window root "$work/usb-desktop-$1-screen.png" &&
        say "desktop $1: the box \"$(xdotool getwindowname "$box")\" says \"$2\""
    [ "$(xdotool getwindowname "$box")" = Tavrin ] || bad "desktop $1: the box's caption is \"$(xdotool getwindowname "$box")\""
    xdotool key --clearmodifiers Return
    wine_wait_gone "$box" 60 || bad "desktop $1: the box stayed after Enter"
}

export TAVRIN_INSTANCE_DIR=$work/instance
mkdir -p "$TAVRIN_INSTANCE_DIR"
din_start || bad "desktop: no DIN side"
"$root/build/debug/tavrin" >"$work/desktop.log" 2>&1 &
APP_PID=$!
if box=$(wine_wait_window Tavrin "" 300 "$APP_PID") && box_says "$box" desktop-warning "must quit any MIDI applications"; then
    xdotool key --clearmodifiers Return
    if MAIN=$(wine_wait_window Tavrin "$box" 120 "$APP_PID"); then
        say "desktop: main window up"
        choose_sixth i && choose_sixth o && desktop_test success "The test was successful."
        din_stop; din_start --corrupt 100/1
        desktop_test failure "Midi loopback failure! Byte: 0x64"
        din_stop; din_start --route 1:-
        desktop_test timeout "Midi loopback timeout, check cable!"
        # Unplugged while the interface holds the message back; plugged in
        # again, each port chosen again (its item still checked: the first
        # choice closes it, the second opens the new one), and TEST passes.
        din_stop; din_start --stall 10:60000
        desktop_test unplugged "Midi loopback timeout, check cable!" usb_unplug
        din_stop
        if usb_plug && din_start; then
            choose_sixth i && choose_sixth i && choose_sixth o && choose_sixth o &&
                desktop_test replugged "The test was successful."
        else
            bad "desktop: the interface did not come back"
        fi
        din_stop
    else
        bad "desktop: the main window did not come"
    fi
else
    bad "desktop: the warning box did not come"
fi
[ -n "$APP_PID" ] && { kill "$APP_PID" 2>/dev/null; wait "$APP_PID" 2>/dev/null; APP_PID=""; }

# ---- tavrin.exe, then tavrin-cli.exe, under Wine over the USB port -------
# Wine's own WinMM (winealsa) over the same sequencer ports, in one Wine
# session; tavrin.exe driven as in 61-windows-wine-midi.sh. Its port lists
# hold the gadget's own ports too: the port is chosen by its name.
wine_env "$work/prefix"
shots=$work/wine
mkdir -p "$shots"
fail() { bad "wine: $*" >&2; exit 1; }
source scripts/test.d/lib/wine-tavrin.sh
din_start || bad "wine: no DIN side"
tavrin_exe_start "$root/build/windows/tavrin.exe" "$work/wine-tavrin.log"
pick Inputs "$(port 1)\$"
pick Outputs "$(port 1)\$"
run_test success 'The test was successful\.'
tavrin_exe_exit
exe=$root/build/windows/tavrin-cli.exe
# Judged by what it printed: see 61-windows-wine-midi.sh for its exit status.
timeout 600 wine "$exe" test --in "$(port 1)" --out "$(port 1)" --count 5 >"$work/wine-standard.txt" 2>&1
say "wine: tavrin-cli.exe exit status $?"
sed -i 's/\r$//' "$work/wine-standard.txt"
grep -v '^ *[0-9.]* - \|^latency histogram' "$work/wine-standard.txt" | sed "s/^/  wine | /"
grep -q '^runs 5, successes 5, failures 0, time-outs 0$' "$work/wine-standard.txt" ||
    bad "wine: tavrin-cli.exe's standard test over the USB port did not pass 5 of 5"
din_stop
# Tavrin's own sending never overran the card's output buffer.
dmesg | grep -q 'MIDI output buffer overrun' && bad "the kernel log says \"MIDI output buffer overrun\""

[ "$failed" -eq 0 ] && say "all cases passed" || say "some cases failed"
exit "$failed"
