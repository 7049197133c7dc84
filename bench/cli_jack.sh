#!/usr/bin/env bash
# tavrin-cli on a private JACK dummy server at periods 64 and 256, beside
# jack_midi_latency_test (Debian's jackd2) on the same through path in the same
# run: both medians and their difference in periods (goal: within one period),
# Tavrin's time split by layer, its engine round trip beside the peer's median
# (goal: within 0.05 period), Tavrin's runs per second and its CPU time per
# run. Then the runs per second of 10,000 runs over the virtual cable. Release
# build.
#   BENCH_RUNS=N   runs per measurement on JACK (default 1000)
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_CLI_TEST_PACKAGES[@]}" || exit 1
source scripts/test.d/lib/jack.sh
cmake --preset release >/dev/null &&
    cmake --build --preset release -j2 --target tavrin-cli jack_through_client >/dev/null || exit 1
cli=build/release/cli/tavrin-cli
through_bin=build/release/tests/engines/jack_through_client
runs=${BENCH_RUNS:-1000}
work=$(mktemp -d /tmp/tavrin-bench-cli.XXXXXX)
trap 'jack_through_stop; jack_stop; rm -rf "$work"' EXIT

# Runs a command and writes "wall user sys" seconds of it to $work/usage.
measure() {
    python3 - "$work/usage" "$@" <<'PY'
import resource, subprocess, sys, time
t = time.monotonic()
rc = subprocess.call(sys.argv[2:])
wall = time.monotonic() - t
u = resource.getrusage(resource.RUSAGE_CHILDREN)
open(sys.argv[1], "w").write(f"{wall} {u.ru_utime} {u.ru_stime}\n")
sys.exit(rc)
PY
}

for period in 64 256; do
    # Synchronous: on a busy machine a late client makes the server wait
    # rather than lose the cycle, which would end jack_midi_latency_test.
    jack_start "$period" -S || exit 1
    jack_through_start "$through_bin" bench-thru "$cli" "$work/through.log" || exit 1
    TAVRIN_MIDI=jack measure "$cli" test --in bench-thru:out --out bench-thru:in --count "$runs" --timeout 2000 --json \
        >"$work/tavrin.jsonl" 2>"$work/tavrin.err"
    timeout 600 jack_midi_latency_test -m 258 -s "$runs" -t 10 bench-thru:in bench-thru:out >"$work/jmlt.txt" 2>&1
    python3 - "$period" "$work/tavrin.jsonl" "$work/usage" "$work/jmlt.txt" <<'PY'
import json, re, sys
period = int(sys.argv[1])
period_ms = period / 48.0
lines = [json.loads(l) for l in open(sys.argv[2])]
s = lines[-1]
wall, user, system = map(float, open(sys.argv[3]).read().split())
t_median = s["latency_ms"]["median"] if s["latency_ms"] else float("nan")
# jack_midi_latency_test prints no median. Its plot (bins of 0.1 ms) and its
# times in ms are by JACK's frame-to-time estimate, which on a busy dummy
# server strays from the frames by a tenth of a period and more (one run gave
# 64 frames for every message and an average of 1.84 ms). Its frame counts are
# exact: when its lowest and highest latency are the same number of frames,
# that is the median. Else the median is read from the plot, within its bin.
text = open(sys.argv[4]).read()
frames = [int(m) for m in re.findall(r"^(?:Lowest|Highest) latency: [\d.]+ ms \((\d+) frames\)$", text, re.M)]
plot = text.split("Latency Plot:")[-1]
bins = [(float(a), float(b), int(n)) for a, b, n in re.findall(r"^([\d.]+) - ([\d.]+) ms: (\d+)$", plot, re.M)]
over = re.search(r"> ([\d.]+) ms: (\d+)", plot)
received = re.search(r"Messages received: (\d+)", text)
total = sum(n for _, _, n in bins) + (int(over.group(2)) if over else 0)
j_median = float("nan")
seen = 0
for a, b, n in bins:
    if total and (seen + n) * 2 >= total:
        j_median = a + (b - a) * (total / 2 - seen) / n
        break
    seen += n
else:
    if over and total:
        j_median = float(over.group(1))  # at least this much
plot_median = j_median
if len(frames) == 2 and frames[0] == frames[1] and bins:
    j_median = frames[0] / 48.0
    source = f"each message {frames[0]} frames; its plot's median {plot_median:.3f} ms"
else:
    source = "from its plot"
avg = re.search(r"Average latency: ([\d.]+) ms", text)
print(f"period {period} frames ({period_ms:.2f} ms), {s['runs']} runs of the standard message:")
print(f"  tavrin-cli:             median {t_median:8.3f} ms  ({s['successes']} successes, {s['timeouts']} time-outs)")
print(f"  jack_midi_latency_test: median {j_median:8.3f} ms  ({source}, average {avg.group(1) if avg else '?'} ms, "
      f"{received.group(1) if received else '?'} received)")
if not bins:
    last = [l for l in text.splitlines() if l.strip()][-3:]
    print("  jack_midi_latency_test gave no latency plot; it said: " + " / ".join(last))
print(f"  difference: {(t_median - j_median) / period_ms:+.2f} periods (goal: within one)")
# Tavrin's time split by layer: the engine's own round trip (from the frame
# it wrote the message at to the frame it read the echo at, as
# jack_midi_latency_test counts) must match the peer's median.
layers = s.get("layers_ms") or {}
if layers.get("engine"):
    e = layers["engine"]["median"]
    print(f"  by layer (medians): call to engine {layers['to_engine']['median']:.3f} ms, "
          f"engine round trip {e:.3f} ms, engine to program {layers['to_program']['median']:.3f} ms")
    print(f"  engine round trip {e:.3f} ms beside jack_midi_latency_test {j_median:.3f} ms: "
          f"{(e - j_median) / period_ms:+.3f} periods (goal: within 0.05)")
else:
    print("  by layer: tavrin-cli reported no engine times")
print(f"  tavrin-cli: {s['runs'] / wall:.1f} runs/s, CPU {1000.0 * (user + system) / s['runs']:.3f} ms per run")
PY
    jack_through_stop
    jack_stop
done

count=10000
TAVRIN_MIDI=cable measure "$cli" test --in 0 --out 0 --count "$count" --quiet >/dev/null 2>&1
read -r wall user system <"$work/usage"
python3 -c "import sys; w,u,s=map(float,sys.argv[1:4]); n=int(sys.argv[4]); print(f'virtual cable: {n} runs in {w:.2f} s: {n/w:.0f} runs/s, CPU {1000*(u+s)/n:.3f} ms per run')" \
    "$wall" "$user" "$system" "$count"
