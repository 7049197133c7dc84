#!/usr/bin/env bash
# tavrin-cli over a real JACK server (dummy driver) with a through client
# whose name has a space and non-ASCII letters: every pattern 100 times, the
# wiring map, and the server killed mid-run (time-outs, exit 2, no hang).
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

trap 'jack_through_stop; jack_stop' EXIT
start_through() { jack_through_start "$through_bin" "$through_name" "$cli" "$out/through.log"; }

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
print(f"cli-jack: {sys.argv[2]}: {s['successes']}/{s['runs']} successes, median {median:.3f} ms")
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

# The server dies mid-run: the runs after it time out, nothing hangs, exit 2.
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
[ "$status" -eq 2 ] || { fail "killed: exit status $status, expected 2 (124: it hung)"; tail -5 "$out/killed.out" >&2; cat "$out/killed.err" >&2; }
grep -Eq '^runs 40, successes [0-9]+, failures 0, time-outs [1-9]' "$out/killed.out" || fail "killed: no time-outs counted"
jack_through_stop
jack_stop

echo "cli-jack: $((SECONDS - t0)) s"
[ "$failed" -eq 0 ] && echo "cli-jack: passed" || echo "cli-jack: FAILED"
exit "$failed"
