#!/usr/bin/env bash
# tavrin-cli (release) on the rawmidi engine beside the sequencer engine, over
# the same Midi Through in the same qemu boot: rawmidi hw:0,0 -> VirMIDI 0-0
# -> Midi Through -> VirMIDI 0-1 -> hw:0,1, and the sequencer's own loop
# through Midi Through. Medians and p99 of each, split by layer where the
# engines report their times, and rawmidi's median as a ratio of the
# sequencer's. Under emulation only the ratio means anything.
#   BENCH_RUNS=N   runs per engine (default 500)
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_ENGINE_TEST_PACKAGES[@]}" alsa-utils || exit 1
cmake --preset release >/dev/null && cmake --build --preset release -j2 --target tavrin-cli >/dev/null || exit 1
runs=${BENCH_RUNS:-500}
guest=$(mktemp)
cat >"$guest" <<GUEST
#!/bin/sh
aconnect 'Virtual Raw MIDI 0-0:0' 'Midi Through:0' && aconnect 'Midi Through:0' 'Virtual Raw MIDI 0-1:0'
for pattern in standard sysex:4096; do
    echo "rawmidi \$pattern \$(TAVRIN_MIDI=rawmidi tavrin-cli test --in 'Virtual Raw MIDI #2' --out 'Virtual Raw MIDI' --count $runs --pattern \$pattern --json | tail -n 1)"
    echo "alsa \$pattern \$(TAVRIN_MIDI=alsa tavrin-cli test --in 'Midi Through Port-0' --out 'Midi Through Port-0' --count $runs --pattern \$pattern --json | tail -n 1)"
done
GUEST
chmod +x "$guest"
out=$(mktemp)
trap 'rm -f "$guest" "$out"' EXIT
bash scripts/test.d/lib/qemu-alsa.sh --timeout 1800 --module snd-virmidi=midi_devs=2 \
    --bin amidi --bin aconnect --bin build/release/cli/tavrin-cli "$guest" | sed -n 's/^  | \(rawmidi\|alsa\) /\1 /p' >"$out"
python3 - "$out" <<'PY'
import json, sys
rows = {}
for line in open(sys.argv[1]):
    engine, pattern, text = line.split(" ", 2)
    rows[(engine, pattern)] = json.loads(text)
for pattern in sorted({p for _, p in rows}):
    print(f"pattern {pattern}:")
    for engine in ("rawmidi", "alsa"):
        s = rows.get((engine, pattern))
        if not s or not s.get("latency_ms"):
            print(f"  {engine:8} no answer")
            continue
        l = s["latency_ms"]
        line = f"  {engine:8} {s['successes']}/{s['runs']} ok, median {l['median']:.3f} ms, p99 {l['p99']:.3f} ms"
        layers = s.get("layers_ms")
        if layers:
            line += (f"; call to engine {layers['to_engine']['median']:.3f}, engine round trip "
                     f"{layers['engine']['median']:.3f}, engine to program {layers['to_program']['median']:.3f}")
        print(line)
    r, a = rows.get(("rawmidi", pattern)), rows.get(("alsa", pattern))
    if r and a and r.get("latency_ms") and a.get("latency_ms"):
        print(f"  rawmidi / sequencer median: {r['latency_ms']['median'] / a['latency_ms']['median']:.2f}")
PY
