#!/usr/bin/env bash
# tavrin-cli over a real JACK server (dummy driver) with a through client
# whose name has a space and non-ASCII letters: every pattern 100 times, the
# wiring map, and the server killed mid-run (an engine error, exit 69, no
# hang). The through client sends Active Sensing of its own, as a device
# does: it is counted, and never spoils a run.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_ENGINE_TEST_PACKAGES[@]}" "${TAVRIN_CLI_TEST_PACKAGES[@]}" || exit 1
source scripts/test.d/lib/jack.sh

cmake --preset debug >/dev/null && cmake --build --preset debug -j2 --target tavrin-cli jack_through_client >/dev/null || {
    echo "cli-jack: build failed" >&2; exit 1; }
cli=build/debug/cli/tavrin-cli
through_bin=build/debug/tests/engines/jack_through_client
out=build/debug/cli-jack-test
rm -rf "$out"; mkdir -p "$out"
export TAVRIN_MIDI=jack
through_name="Thru Über"

chatter_pid=""
trap '[ -z "$chatter_pid" ] || kill "$chatter_pid" 2>/dev/null; jack_through_stop; jack_stop' EXIT
start_through() { jack_through_start "$through_bin" "$through_name" "$cli" "$out/through.log" sensing; }

failed=0
t0=$SECONDS
fail() { echo "cli-jack: FAIL: $*" >&2; failed=1; }

# Sanitizers may make a client late for its cycle: a synchronous server waits
# for it instead of replaying its previous buffer.
jack_start 256 -S || exit 1
start_through || exit 1
for p in standard sysex:3 sysex:4096 sysex:20000 notes realtime mixed; do
    f="$out/${p/:/-}.jsonl"
    # Names: the input by its exact name, the output by a prefix in another case.
    timeout 300 "$cli" test --in "$through_name:out" --out "thru über:i" --count 100 --pattern "$p" --json >"$f" 2>"$f.err"
    status=$?
    python3 - "$f" "$p" <<'PY' || fail "$p: not 100 successes (exit status $status)"
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
s = lines[-1]
median = s["latency_ms"]["median"] if s["latency_ms"] else float("nan")
sensing = s["stray_realtime"].get("Active Sensing", 0)
print(f"cli-jack: {sys.argv[2]}: {s['successes']}/{s['runs']} successes, median {median:.3f} ms, {sensing} Active Sensing")
sys.exit(0 if s["type"] == "summary" and s["successes"] == 100 and len(lines) == 101 else 1)
PY
    [ "$status" -eq 0 ] || { fail "$p: exit status $status"; sed 's/^/  | /' "$f.err" >&2; }
done
timeout 60 "$cli" wiring --timeout 500 --json >"$out/wiring.json" 2>"$out/wiring.err" || fail "wiring: exit status $?"
python3 - "$out/wiring.json" "$through_name" <<'PY' || fail "wiring: the loop was not found"
import json, sys
m = json.load(open(sys.argv[1]))
name = sys.argv[2]
ins = {i["index"]: i["name"] for i in m["inputs"]}
loop = [o for o in m["outputs"] if o["name"] == name + ":in"]
sys.exit(0 if m["engine"] == "jack" and loop and [ins[i] for i in loop[0]["inputs"]] == [name + ":out"] else 1)
PY

# A client that sends notes and Active Sensing: wiring still ends on time.
"$through_bin" Chatter notes >"$out/chatter.log" 2>&1 & chatter_pid=$!
until=$((SECONDS + 20))
until "$cli" ports 2>/dev/null | grep -qF "Chatter:out"; do
    [ $SECONDS -lt $until ] || { fail "chatter: its ports never came"; break; }
    sleep 0.1
done
t=$SECONDS
timeout 60 "$cli" wiring --timeout 500 --json >"$out/wiring-chatter.json" 2>"$out/wiring-chatter.err" || fail "wiring-chatter: exit status $?"
[ $((SECONDS - t)) -le 4 ] || fail "wiring-chatter: took $((SECONDS - t)) s with a 500 ms time-out"
python3 -c 'import json,sys; m=json.load(open(sys.argv[1])); sys.exit(0 if any(i["unexpected_bytes"] > 0 for i in m["inputs"]) else 1)' \
    "$out/wiring-chatter.json" || fail "wiring-chatter: the notes were not counted"
kill "$chatter_pid"; wait "$chatter_pid" 2>/dev/null; chatter_pid=""

# The server dies mid-run: an engine error ends the test, nothing hangs, exit 69.
timeout 120 "$cli" test --in 0 --out 0 --count 40 --timeout 300 --interval 20 >"$out/killed.out" 2>"$out/killed.err" &
cli_pid=$!
until=$((SECONDS + 30))
until grep -q '^run 5/' "$out/killed.out"; do
    kill -0 "$cli_pid" 2>/dev/null && [ $SECONDS -lt $until ] || break
    sleep 0.05
done
grep -q '^run 5/' "$out/killed.out" || fail "killed: the fifth run never came"
kill -9 "$JACK_PID"
wait "$cli_pid"; status=$?
[ "$status" -eq 69 ] || { fail "killed: exit status $status, expected 69 (124: it hung)"; tail -5 "$out/killed.out" >&2; cat "$out/killed.err" >&2; }
grep -Eq '^runs [0-9]+, successes [0-9]+, failures 0, time-outs [0-9]+, errors 1$' "$out/killed.out" || fail "killed: the engine error is not counted"
jack_through_stop
jack_stop

echo "cli-jack: $((SECONDS - t0)) s"
[ "$failed" -eq 0 ] && echo "cli-jack: passed" || echo "cli-jack: FAILED"
exit "$failed"
