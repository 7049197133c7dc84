#!/usr/bin/env bash
# tavrin-cli over the built-in virtual cable: every pattern, every fault, the
# wiring map, the exit statuses, usage errors, Ctrl-C, the progress bar in a
# real terminal (tmux) and through a pipe, JSON read by a real JSON parser,
# and the SVG picture looked at in headless Chromium.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_CLI_TEST_PACKAGES[@]}" || exit 1

cmake --preset debug >/dev/null && cmake --build --preset debug -j2 --target tavrin-cli >/dev/null || {
    echo "cli: build failed" >&2; exit 1; }
cli=$PWD/build/debug/cli/tavrin-cli
out=$PWD/build/debug/cli-test
rm -rf "$out"; mkdir -p "$out"
tmux_socket=tavrin-cli-suite-$$
started=()
cleanup() {
    local pid
    tmux -L "$tmux_socket" kill-server 2>/dev/null
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
}
trap cleanup EXIT

failed=0
t0=$SECONDS
fail() { echo "cli: FAIL: $*" >&2; failed=1; }

# run NAME CABLE ARGS...: runs tavrin-cli on TAVRIN_MIDI=CABLE; stdout in
# $out/NAME.out, stderr in $out/NAME.err, exit status in $status.
run() {
    local name=$1 cable=$2; shift 2
    TAVRIN_MIDI=$cable timeout 120 "$cli" "$@" >"$out/$name.out" 2>"$out/$name.err"
    status=$?
}
expect_status() {  # NAME EXPECTED
    [ "$status" -eq "$2" ] || { fail "$1: exit status $status, expected $2"; sed 's/^/  | /' "$out/$1.err" >&2; }
}
# json NAME PYTHON-EXPRESSION: the JSON Lines of NAME parsed; `runs` holds the
# run objects and `s` the summary; the expression must be true.
json() {
    python3 - "$out/$1.out" "$2" <<'PY' || fail "$1: JSON check failed: $2"
import json, re, sys
lines = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
runs = [l for l in lines if l.get("type") == "run"]
s = lines[-1]
ok = s.get("type") == "summary" and eval(sys.argv[2])
if not ok:
    print(json.dumps(lines[-3:], indent=1), file=sys.stderr)
sys.exit(0 if ok else 1)
PY
}

# Every pattern over a sound cable.
for p in standard sysex:3 sysex:300 sysex:4096 sysex:10000 sysex:65536 notes realtime mixed; do
    run "ok-${p/:/-}" cable test --in 0 --out 0 --count 3 --pattern "$p" --json
    expect_status "ok-$p" 0
    json "ok-${p/:/-}" 's["successes"] == 3 and len(runs) == 3 and all(r["verdict"] == "success" and r["latency_ms"] > 0 for r in runs)'
done

# Faults: each with the verdict, the counts and the status it should give.
run corrupt cable:corrupt=5:0x44 test --in 0 --out 0 --count 5 --json
expect_status corrupt 1
json corrupt 's["failures"] == 5 and s["failures_by_byte"] == {"5": 5} and all(r["offset"] == 5 and r["expected"] == 4 and r["received"] == 0x44 for r in runs)'
run drop cable:drop=7 test --in 0 --out 0 --count 2 --pattern sysex:4096 --json
expect_status drop 1
json drop 's["failures"] == 2 and runs[0]["offset"] == 7 and runs[0]["bytes_received"] == 4095'
run cut cable:cut=100 test --in 0 --out 0 --count 2 --json
expect_status cut 1
json cut 'runs[0]["offset"] == 100 and runs[0]["received"] == 0xF7 and runs[0]["bytes_received"] == 101'
run notes-corrupt cable:corrupt=3:0x45 test --in 0 --out 0 --pattern notes --json
expect_status notes-corrupt 1
json notes-corrupt 'runs[0]["offset"] == 3 and runs[0]["received"] == 0x45'
run unplugged cable:unplugged test --in 0 --out 0 --count 3 --timeout 200 --json
expect_status unplugged 2
json unplugged 's["timeouts"] == 3 and s["failures"] == 0 and s["latency_ms"] is None'
run delay-late cable:delay=400 test --in 0 --out 0 --count 2 --timeout 100 --json
expect_status delay-late 2
run delay cable:delay=60 test --in 0 --out 0 --count 2 --json
expect_status delay 0
json delay 's["latency_ms"]["min"] >= 60'
# A DIN cable's pace: the throughput is the wire rate's, within a few per cent.
run baud cable:baud=31250 test --in 0 --out 0 --count 2 --pattern sysex:1000 --json
expect_status baud 0
json baud '85 <= s["wire_rate_percent"] <= 101'
# Every fault class, one case each: cable options, test options, then the
# expected exit status and a check of the JSON (a line of the table).
while IFS='|' read -r name cable args want check; do
    run "class-$name" "cable:$cable" test --in 0 --out 0 --json $args
    expect_status "class-$name" "$want"
    json "class-$name" "$check"
done <<'TABLE'
extra|dup=10|--count 2|1|[r["fault"] for r in runs] == ["extra"] * 2 and runs[0]["count"] == 1
reordered|swap=10|--count 1|1|runs[0]["fault"] == "reordered" and runs[0]["offset"] == 10
every-third|corrupt=9:0x18,every=3|--count 6|1|[r["fault"] for r in runs] == [None, None, "corrupted"] * 2 and runs[2]["xor"] == 0x10
late|delay=400|--count 2 --timeout 100|2|[r["fault"] for r in runs] == ["late"] * 2 and runs[0]["latency_ms"] >= 400
unplug|unplug=3|--count 10 --timeout 300|69|[r["fault"] for r in runs] == [None, None, "error"] and "unplugged" in runs[2]["error"] and s["errors"] == 1
truncated|baud=3125|--pattern sysex:4096 --timeout 100|1|runs[0]["fault"] == "truncated" and 256 < runs[0]["bytes_received"] < 4096 and runs[0]["last_offset"] == runs[0]["bytes_received"] - 1
paced-64k|baud=31250|--pattern sysex:65536 --timeout 1000|0|runs[0]["verdict"] == "success" and runs[0]["latency_ms"] >= 20000
stray|stray=0xFE:20,baud=31250|--count 10|0|s["successes"] == 10 and s["stray_realtime"]["Active Sensing"] >= 20
strict|stray=0xFE:5,baud=31250|--count 3 --strict|1|[r["fault"] for r in runs] == ["extra"] * 3
TABLE

# A hunt until --duration is up over a cable with two kinds of fault and
# Active Sensing: every fault with its class and time; the JUnit report read
# by a real XML parser as CI servers read it; the picture with its marks.
run hunt cable:corrupt=9:0x18/7,dup=30/11,stray=0xFE:300,baud=31250 test --in 0 --out 0 --duration 3s --json \
    --junit "$out/hunt.xml" --plot "$out/hunt.svg"
expect_status hunt 1
json hunt 's["faults"]["corrupted"] >= 2 and s["faults"]["extra"] >= 1 and s["stray_realtime"]["Active Sensing"] >= 5 and 3 <= s["elapsed_s"] < 4 and all(re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", r["time"]) for r in runs)'
python3 - "$out/hunt.xml" "$out/hunt.svg" <<'PY' || fail "hunt: the JUnit report or the picture is wrong"
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
suites = root.findall("testsuite")
cases = [c for s in suites for c in s.findall("testcase")]
failure = cases[0].find("failure") if cases else None
ok = (root.tag == "testsuites" and len(suites) == 1 and len(cases) == 1 and cases[0].get("name")
      and cases[0].get("classname") and float(cases[0].get("time")) >= 3 and int(suites[0].get("tests")) == 1
      and int(suites[0].get("failures")) == 1 and failure is not None and "corrupted" in failure.get("message"))
svg = ET.parse(sys.argv[2]).getroot()
classes = [e.get("class") for e in svg.iter()]
ok = ok and {"fault corrupted", "fault extra", "median", "p99", "tick", "bin", "runs"} <= set(classes)
sys.exit(0 if ok else 1)
PY
run plot-unwritable cable test --in 0 --out 0 --plot /nonexistent/folder/x.svg
expect_status plot-unwritable 74
[ "$(wc -l <"$out/plot-unwritable.err")" -eq 1 ] || fail "plot-unwritable: the reason is not one line"

# wiring ends on time whatever arrives, and at once with nothing looped.
for cable in stray=0xFE:20 ports=2,wire=0:none,wire=1:none,stray=0xF8:5; do
    t=$SECONDS
    run "wiring-$cable" "cable:$cable" wiring --timeout 500 --json
    expect_status "wiring-$cable" 0
    [ $((SECONDS - t)) -le 3 ] || fail "wiring-$cable: took $((SECONDS - t)) s with a 500 ms time-out"
done

# Text: the bad byte, both values and the bytes around it.
run corrupt-text cable:corrupt=5:0x44 test --in 0 --out 0 --count 2
expect_status corrupt-text 1
grep -Eq '^run 1/2 at [0-9T:.-]+Z: corrupted at byte 5 \(0x5\): expected 04, received 44 \(XOR 40\), 1 byte differs; 258 of 258 bytes came' "$out/corrupt-text.out" &&
    grep -q 'received: 00 01 02 03 \[44\] 05 06 07 08' "$out/corrupt-text.out" &&
    grep -q '^failures by first bad byte: byte 5 (0x5) x2$' "$out/corrupt-text.out" || fail "corrupt-text: the failure is not named as it should be"

# Wiring: output 0 to input 2, 2 to 0 and 1 to 1 and 2 (a thru), 3 nowhere.
run wiring cable:ports=4,wire=0:2,wire=2:0,wire=1:1,wire=1:2,wire=3:none wiring --timeout 300 --json
expect_status wiring 0
python3 - "$out/wiring.out" <<'PY' || fail "wiring: wrong map"
import json, sys
m = json.loads(open(sys.argv[1]).read())
got = {o["index"]: o["inputs"] for o in m["outputs"]}
sys.exit(0 if got == {0: [2], 1: [1, 2], 2: [0], 3: []} and m["engine"] == "cable" else 1)
PY
# A tag that arrives changed was sent by no output.
run wiring-stranger cable:ports=2,corrupt=2:0x11 wiring --timeout 300 --json
python3 -c 'import json,sys; m=json.load(open(sys.argv[1])); sys.exit(0 if all(o["inputs"]==[] for o in m["outputs"]) and [i["unexpected_bytes"] for i in m["inputs"]]==[7,7] else 1)' \
    "$out/wiring-stranger.out" || fail "wiring-stranger: bytes no output sent are not named"
run wiring-text cable:ports=3,wire=0:2,wire=2:0 wiring --timeout 300
grep -q '^  0 Virtual Cable 1 -> input 2 Virtual Cable 3$' "$out/wiring-text.out" || fail "wiring-text: no line for output 0"

# ports, in text and JSON.
run ports cable:ports=2 ports --json
expect_status ports 0
python3 -c 'import json,sys; p=json.load(open(sys.argv[1])); sys.exit(0 if p["engine"]=="cable" and [i["name"] for i in p["inputs"]]==["Virtual Cable 1","Virtual Cable 2"] else 1)' \
    "$out/ports.out" || fail "ports: wrong JSON"
run no-engine none ports
expect_status no-engine 69
grep -q 'no MIDI ports' "$out/no-engine.err" || fail "no-engine: the message does not say so"

# Usage errors: 64 and a one-line reason.
usage() {  # NAME ARGS...
    local name=$1; shift
    run "$name" cable:ports=2 "$@"
    expect_status "$name" 64
    [ "$(head -n1 "$out/$name.err" | grep -c '^tavrin-cli: ')" -eq 1 ] || fail "$name: no one-line reason"
}
usage u-none
usage u-unknown-command frobnicate
usage u-unknown-option test --in 0 --out 0 --colour
usage u-no-out test --in 0
usage u-count test --in 0 --out 0 --count -1
usage u-duration test --in 0 --out 0 --duration soon
usage u-count-word test --in 0 --out 0 --count many
usage u-timeout test --in 0 --out 0 --timeout -5
usage u-pattern test --in 0 --out 0 --pattern chords
usage u-small test --in 0 --out 0 --pattern sysex:2
usage u-big test --in 0 --out 0 --pattern sysex:65537
grep -q '65536' "$out/u-big.err" || fail "u-big: the refusal does not name the largest size"
usage u-json-quiet test --in 0 --out 0 --json --quiet
for name in u-none u-unknown-command u-no-out u-count u-pattern u-small; do
    [ "$(wc -l <"$out/$name.err")" -eq 1 ] || fail "$name: the reason is not one line"
done
# Ports that cannot be had: 69 by index and by name alike; a shared name is
# ambiguous and lists each port; name: picks by name alone.
for args in "--in 0 --out 7" "--in 0 --out No_Such_Port" "--in virtual --out 0" "--in name:1 --out 0"; do
    name=no-port-${args// /}; name=${name//[^a-zA-Z0-9-]/}
    run "$name" cable:ports=2 test $args
    expect_status "$name" 69
done
grep -q '"virtual" names 2 inputs (0, 1)' "$out/no-port---invirtual--out0.err" || fail "ambiguous: the ports are not named"
run prefix cable:ports=2 test --in 'virtual cable 2' --out 'Virtual Cable 2' --json
expect_status prefix 0

run help cable --help
expect_status help 0
grep -q 'wiring' "$out/help.out" || fail "help: the commands are not listed"
run version cable --version
expect_status version 0
version=$(sed -n 's/^project(Tavrin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(cat "$out/version.out")" = "tavrin-cli $version" ] || fail "version: \"$(cat "$out/version.out")\", expected tavrin-cli $version"

# A signal mid-run ends the run under way at once (the fourth waits a
# minute), with the summary of the three before it.
for sig in INT:130 TERM:143; do
    TAVRIN_MIDI=cable:delay=60000,every=4 "$cli" test --in 0 --out 0 --count 0 --timeout 60000 \
        >"$out/sig$sig.out" 2>"$out/sig$sig.err" &
    pid=$!; started+=("$pid")
    until=$((SECONDS + 30))
    until grep -q '^run 3:' "$out/sig$sig.out" || [ $SECONDS -ge $until ]; do sleep 0.05; done
    grep -q '^run 3:' "$out/sig$sig.out" || { fail "sig$sig: the third run never came"; continue; }
    kill -"${sig%:*}" "$pid"
    t0_ms=$(date +%s%3N)
    while kill -0 "$pid" 2>/dev/null && [ $(($(date +%s%3N) - t0_ms)) -lt 10000 ]; do sleep 0.01; done
    took=$(($(date +%s%3N) - t0_ms))
    if kill -0 "$pid" 2>/dev/null; then fail "sig$sig: still running 10 s after the signal"; continue; fi
    wait "$pid"; status=$?
    expect_status "sig$sig" "${sig#*:}"
    [ "$took" -lt 1000 ] || fail "sig$sig: took $took ms to end"
    grep -Eq '^runs 3, successes 3, failures 0, time-outs 0 \(interrupted\)$' "$out/sig$sig.out" ||
        fail "sig$sig: no partial summary of three runs"
done

# The progress bar: in a real terminal on stderr, and not through a pipe.
tmux -L "$tmux_socket" new-session -d -x 150 -y 20 \
    "TAVRIN_MIDI=cable:delay=4 $cli test --in 0 --out 0 --count 400; echo tavrin-cli-exit=\$?; sleep 600"
until=$((SECONDS + 30)); bar=""
while [ $SECONDS -lt $until ]; do
    bar=$(tmux -L "$tmux_socket" capture-pane -p | grep -E '^runs [0-9]+/400 \([0-9.]+/s\), [0-9]+ ok, no faults; 0:00:[0-9]+' | tail -n1)
    [ -n "$bar" ] && break
    sleep 0.1
done
[ -n "$bar" ] || fail "progress: no status line came in the terminal"
until=$((SECONDS + 60))
until tmux -L "$tmux_socket" capture-pane -p | grep -q 'tavrin-cli-exit='; do
    [ $SECONDS -lt $until ] || { fail "progress: the run in tmux did not end"; break; }
    sleep 0.1
done
tmux -L "$tmux_socket" capture-pane -p -S -40 >"$out/tmux.txt"
grep -q 'tavrin-cli-exit=0' "$out/tmux.txt" || fail "progress: the run in tmux did not end with 0"
grep -q 'latency histogram' "$out/tmux.txt" || fail "progress: no histogram on the terminal"
tmux -L "$tmux_socket" kill-server 2>/dev/null
run pipe cable:delay=4 test --in 0 --out 0 --count 400
expect_status pipe 0
grep -q '/s), ' "$out/pipe.err" && fail "pipe: a status line went into a pipe"
grep -q 'histogram' "$out/pipe.out" && fail "pipe: the histogram went into a pipe"

# The picture: SVG that parses, failures and time-outs marked, looked at in Chromium.
run plot 'cable:corrupt=5:0x44' test --in 0 --out 0 --count 20 --pattern sysex:4096 --plot "$out/corrupt.svg"
expect_status plot 1
python3 - "$out/corrupt.svg" <<'PY' || fail "plot: the SVG is wrong"
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
ns = "{http://www.w3.org/2000/svg}"
fails = [c for c in root.iter(ns + "rect") if c.get("class") == "fault corrupted"]
bins = [r for r in root.iter(ns + "rect") if r.get("class") == "bin"]
sys.exit(0 if len(fails) == 20 and bins else 1)
PY
run plot-timeouts cable:unplugged test --in 0 --out 0 --count 3 --timeout 50 --plot "$out/timeouts.svg"
grep -c 'class="fault lost"' "$out/timeouts.svg" | grep -qx 3 || fail "plot-timeouts: the time-outs are not marked"
for pic in corrupt timeouts; do
    timeout 120 chromium --headless --no-sandbox --disable-gpu --user-data-dir="$out/chromium" --hide-scrollbars \
        --window-size=900,800 --screenshot="$out/$pic.png" "file://$out/$pic.svg" >/dev/null 2>&1
    [ -s "$out/$pic.png" ] || fail "plot: Chromium made no picture of $pic.svg"
done

echo "cli: $((SECONDS - t0)) s; pictures in $out"
[ "$failed" -eq 0 ] && echo "cli: passed" || echo "cli: FAILED"
exit "$failed"
