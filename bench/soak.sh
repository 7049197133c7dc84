#!/usr/bin/env bash
# Soak: many loop tests in one tavrin-cli process (release build): 10,000 on
# the virtual cable and 2,000 through a JACK dummy server with a through
# client. The process's resident memory, open descriptors and threads are
# read from /proc after a tenth of the runs (warm-up) and again at three
# quarters (the output runs through a pipe, so the process is then still at
# work); memory must stay within 1 %, descriptors and threads unchanged, and
# every run must be reported, a success.
# Then a fault hunt: `test --count 0` on the cable for ten minutes, resident
# memory sampled each second; from the end of the first minute on it must
# stay within 1 % of its value then.
#   TAVRIN_SOAK_CABLE=N TAVRIN_SOAK_JACK=N change the counts,
#   TAVRIN_SOAK_HUNT_SECONDS the hunt's length (600).
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" jackd2 || exit 1
source scripts/test.d/lib/jack.sh
cmake --preset release >/dev/null && cmake --build --preset release -j2 --target tavrin-cli jack_through_client >/dev/null || {
    echo "soak: build failed" >&2; exit 1; }
cli=build/release/cli/tavrin-cli

sample() {  # pid -> "rss_kib fds threads"
    echo "$(awk '/^VmRSS/ {print $2}' "/proc/$1/status") $(ls "/proc/$1/fd" | wc -l) $(ls "/proc/$1/task" | wc -l)"
}

# soak NAME COUNT tavrin-cli test options...
soak() {
    local name=$1 count=$2
    shift 2
    local warm=$((count / 10)) late=$((count * 3 / 4))
    local dir fifo
    dir=$(mktemp -d /tmp/tavrin-soak.XXXXXX)
    fifo=$dir/out
    mkfifo "$fifo"
    local start=$SECONDS
    "$cli" test --count "$count" --json "$@" >"$fifo" 2>"$dir/err" &
    local pid=$! runs=0 good=0 summary="" early="" later=""
    while IFS= read -r line; do
        case $line in
        *'"type":"run"'*)
            runs=$((runs + 1))
            [[ $line == *'"verdict":"success"'* ]] && good=$((good + 1))
            [ "$runs" -eq "$warm" ] && early=$(sample "$pid")
            [ "$runs" -eq "$late" ] && later=$(sample "$pid")
            ;;
        *'"type":"summary"'*) summary=$line ;;
        esac
    done <"$fifo"
    wait "$pid"
    local status=$? seconds=$((SECONDS - start))
    local ok=1
    read -r rss0 fd0 th0 <<<"$early"
    read -r rss1 fd1 th1 <<<"$later"
    if [ -z "$early" ] || [ -z "$later" ]; then
        echo "soak $name: the process could not be sampled" >&2; ok=0
    else
        printf 'soak %-6s %6d runs, %6d successes in %4d s; rss %d KiB at run %d, %d KiB at run %d (%+.2f %%); fds %d -> %d; threads %d -> %d\n' \
            "$name" "$runs" "$good" "$seconds" "$rss0" "$warm" "$rss1" "$late" \
            "$(awk -v a="$rss0" -v b="$rss1" 'BEGIN {print (b - a) * 100 / a}')" "$fd0" "$fd1" "$th0" "$th1"
        awk -v a="$rss0" -v b="$rss1" 'BEGIN {exit !(b <= a * 1.01)}' || {
            echo "soak $name: resident memory grew by more than 1 %" >&2; ok=0; }
        [ "$fd0" -eq "$fd1" ] || { echo "soak $name: open descriptors changed" >&2; ok=0; }
        [ "$th0" -eq "$th1" ] || { echo "soak $name: threads changed" >&2; ok=0; }
    fi
    [ "$status" -eq 0 ] || { echo "soak $name: tavrin-cli exited with $status" >&2; cat "$dir/err" >&2; ok=0; }
    [ "$runs" -eq "$count" ] && [ "$good" -eq "$count" ] || {
        echo "soak $name: $runs of $count runs reported, $good successes" >&2; ok=0; }
    [[ $summary == *"\"runs\":$count,"* ]] || { echo "soak $name: the summary does not count $count runs" >&2; ok=0; }
    rm -rf "$dir"
    [ "$ok" -eq 1 ]
}

# hunt SECONDS: the hunt, and its memory figures.
hunt() {
    local seconds=$1 dir pid t=0 rss base="" low="" high="" ok=1
    dir=$(mktemp -d /tmp/tavrin-hunt.XXXXXX)
    TAVRIN_MIDI=cable "$cli" test --in 0 --out 0 --count 0 --duration "${seconds}s" --quiet >"$dir/out" 2>"$dir/err" &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1  # a sample a second
        t=$((t + 1))
        rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null) || break
        [ -n "$rss" ] || break
        echo "$t $rss" >>"$dir/rss"
        [ "$t" -lt 60 ] && continue
        [ -n "$base" ] || base=$rss
        [ -z "$low" ] || [ "$rss" -lt "$low" ] && low=$rss
        [ -z "$high" ] || [ "$rss" -gt "$high" ] && high=$rss
    done
    wait "$pid"
    local status=$?
    local runs
    runs=$(sed -n 's/^runs \([0-9]*\),.*/\1/p' "$dir/out")
    if [ -z "$base" ]; then
        echo "soak hunt: fewer than 60 samples" >&2; ok=0
    else
        printf 'soak hunt  %d s, %s runs; rss %d KiB at 1 min, %d to %d KiB after (%+.2f %% of the 1-min value at most), %d KiB at the end\n' \
            "$seconds" "${runs:-?}" "$base" "$low" "$high" \
            "$(awk -v a="$base" -v l="$low" -v h="$high" 'BEGIN {d = h - a; if (a - l > d) d = l - a; print d * 100 / a}')" \
            "$(tail -n1 "$dir/rss" | cut -d' ' -f2)"
        awk -v a="$base" -v l="$low" -v h="$high" 'BEGIN {exit !(h <= a * 1.01 && l >= a * 0.99)}' || {
            echo "soak hunt: resident memory moved by more than 1 % after the first minute" >&2; ok=0; }
    fi
    [ "$status" -eq 0 ] || { echo "soak hunt: tavrin-cli exited with $status" >&2; cat "$dir/err" >&2; ok=0; }
    rm -rf "$dir"
    [ "$ok" -eq 1 ]
}

failed=0
TAVRIN_MIDI=cable soak cable "${TAVRIN_SOAK_CABLE:-10000}" --in 0 --out 0 || failed=1
hunt "${TAVRIN_SOAK_HUNT_SECONDS:-600}" || failed=1

trap 'jack_stop; [ -n "${through_pid:-}" ] && kill "$through_pid" 2>/dev/null' EXIT
jack_start 256 || exit 1
through_log=$(mktemp /tmp/tavrin-soak-through.XXXXXX)
build/release/tests/engines/jack_through_client soak >"$through_log" 2>&1 &
through_pid=$!
deadline=$((SECONDS + 10))
until grep -q -- '->' "$through_log" 2>/dev/null; do
    if [ $SECONDS -ge $deadline ] || ! kill -0 "$through_pid" 2>/dev/null; then
        echo "soak: the JACK through client did not come up:" >&2; cat "$through_log" >&2; exit 1
    fi
    sleep 0.05
done
TAVRIN_MIDI=jack soak jack "${TAVRIN_SOAK_JACK:-2000}" --in soak:out --out soak:in || failed=1
kill "$through_pid"; wait "$through_pid" 2>/dev/null; through_pid=""
rm -f "$through_log"
exit "$failed"
