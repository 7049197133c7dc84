#!/usr/bin/env bash
# The rawmidi engine (TAVRIN_MIDI=rawmidi) on the kernel's snd-virmidi devices,
# in a Debian kernel booted under qemu: one boot, one table of cases.
#
# The loop: rawmidi hw:0,0 ("Virtual Raw MIDI") -> its sequencer port VirMIDI
# 0-0 -> Midi Through -> VirMIDI 0-1 -> rawmidi hw:0,1 ("Virtual Raw MIDI #2").
# The sequencer engine runs its own loop over the same Midi Through in the
# same boot, for the latency beside it. The last case unbinds the card.
# No notes or mixed case: virmidi hands back thousands of short messages at
# memory speed, faster than a debug build under emulation takes them from its
# window queue, and the MIDI service drops what passes its cap of pending
# short messages (amidi gets every byte of the same stream through).
# compare asks JACK too; with no server, libjack's metadata database leaks
# what it opened (its own leak), so that case runs without the leak check.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_ENGINE_TEST_PACKAGES[@]}" alsa-utils || exit 1

cmake --preset debug >/dev/null && cmake --build --preset debug -j2 --target engine_check tavrin-cli >/dev/null || {
    echo "engines-rawmidi-qemu: build failed" >&2; exit 1; }

cases=$(mktemp)
trap 'rm -f "$cases"' EXIT
cat >"$cases" <<'GUEST'
#!/bin/sh
# name | line the output must hold | command
table='
names     | ^names: same$                                 | names
standard  | ^runs 100, successes 100, failures 0          | TAVRIN_MIDI=rawmidi tavrin-cli test --in "Virtual Raw MIDI #2" --out "Virtual Raw MIDI" --count 100 --quiet
sysex64k  | ^runs 3, successes 3, failures 0              | TAVRIN_MIDI=rawmidi tavrin-cli test --in "Virtual Raw MIDI #2" --out "Virtual Raw MIDI" --count 3 --pattern sysex:65536 --quiet
realtime  | ^runs 20, successes 20, failures 0            | TAVRIN_MIDI=rawmidi tavrin-cli test --in "Virtual Raw MIDI #2" --out "Virtual Raw MIDI" --count 20 --pattern realtime --quiet
mixed     | ^runs 20, successes 20, failures 0            | TAVRIN_MIDI=rawmidi tavrin-cli test --in "Virtual Raw MIDI #2" --out "Virtual Raw MIDI" --count 20 --pattern mixed --quiet
sequencer | ^runs 100, successes 100, failures 0          | TAVRIN_MIDI=alsa tavrin-cli test --in "Midi Through Port-0" --out "Midi Through Port-0" --count 100 --quiet
compare   | ^verdict: only the sequencer reaches this loop$ | ASAN_OPTIONS=detect_leaks=0 tavrin-cli compare --in "Midi Through Port-0" --out "midi through" --count 3
engine    | ^engine_check rawmidi: idle and unplug ok$      | engine_check rawmidi "Virtual Raw MIDI #2" "Virtual Raw MIDI" /sys/bus/platform/drivers/snd_virmidi/unbind snd_virmidi.0
'
# amidi -l names every port: one line per device whose substreams have no
# names of their own, its name without the count of substreams.
names() {
    a=$(amidi -l | sed -n 's/^[I ][O ]  hw:[0-9,]*  *//p' | sed 's/ ([0-9]* subdevices)$//' | sort -u)
    t=$(TAVRIN_MIDI=rawmidi tavrin-cli ports | sed -n 's/^  [0-9][0-9]*  //p' | sed 's/ #[0-9]*$//' | sort -u)
    echo "amidi -l: $a"; echo "tavrin-cli ports: $t"
    [ -n "$a" ] && [ "$a" = "$t" ] && echo "names: same"
}
aconnect 'Virtual Raw MIDI 0-0:0' 'Midi Through:0' && aconnect 'Midi Through:0' 'Virtual Raw MIDI 0-1:0' || echo "case setup: FAILED"
echo "$table" | while IFS='|' read -r name expect command; do
    name=$(echo $name)
    [ -n "$name" ] || continue
    expect=$(echo "$expect" | sed 's/^ *//; s/ *$//')
    out=$(eval "$command" 2>&1 | grep -v '^ *[0-9.]* - ')
    echo "$out" | sed "s/^/[$name] /"
    if echo "$out" | grep -Eq -- "$expect"; then echo "case $name: ok"; else echo "case $name: FAILED"; fi
done
GUEST
chmod +x "$cases"

out=$(bash scripts/test.d/lib/qemu-alsa.sh --timeout 900 --module snd-virmidi=midi_devs=2 \
    --bin amidi --bin aconnect --bin build/debug/cli/tavrin-cli --bin build/debug/tests/engines/engine_check \
    "$cases")
echo "$out"
total=$(echo "$out" | grep -c '^  | case ')
bad=$(echo "$out" | grep '^  | case .*: FAILED')
if [ "$total" -lt 8 ] || [ -n "$bad" ]; then
    echo "engines-rawmidi-qemu: FAILED (${total} cases reported)${bad:+; $bad}"
    exit 1
fi
echo "engines-rawmidi-qemu: passed"
