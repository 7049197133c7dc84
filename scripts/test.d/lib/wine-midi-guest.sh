#!/usr/bin/env bash
# Runs inside the qemu guest of scripts/test.d/61-windows-wine-midi.sh, whose
# root is the host's: drives tavrin.exe under Wine as a person would, on the
# kernel sequencer's two "Midi Through" ports, and reads every box by OCR.
#
#   wine-midi-guest.sh TAVRIN_EXE SEQ_MANGLE WORK
#
# WORK is the guest's read-write folder: it holds the Wine prefix and gets the
# pictures. Each action is taken once, after the state that shows it can be
# taken (a window mapped, its text painted); a failure names what did not come.
set -uo pipefail
exe=$1 mangle=$2 work=$3
lib=$(cd "$(dirname "$0")" && pwd)
shots=$work/shots
mkdir -p "$shots"
# The byte seq_mangle changes; the failure verdict names it.
mangled=100

say() { echo "wine-midi [$SECONDS s]: $*"; }
fail() {
    {
        say "FAILED: $*"
        import -window root "$shots/failure.png" 2>/dev/null
        local id
        for id in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
            echo "  visible window $id: \"$(xdotool getwindowname "$id" 2>/dev/null)\" $(xprop -id "$id" WM_CLASS 2>/dev/null)"
        done
        dmesg | tail -n 5
    } >&2
    exit 1
}

source "$lib/xvfb.sh"
source "$lib/wine.sh"
started=()
cleanup() {
    local pid
    timeout 30 wineserver -k 2>/dev/null
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    xvfb_stop
}
trap cleanup EXIT

grep -h 'Midi Through Port' /proc/asound/seq/clients | sed 's/^ */sequencer: /'
xvfb_start "$work/xvfb.log" || fail "no Xvfb display in the guest"
export OMP_THREAD_LIMIT=1  # tesseract: one thread is faster under emulation

# The damaging loop: what is sent to Port-1 comes back on Port-0 with byte
# $mangled changed. It adds no port that others can connect to.
"$mangle" 14:1 14:0 "$mangled" >"$work/mangle.log" 2>&1 &
mangle_pid=$!
started+=("$mangle_pid")
until=$((SECONDS + 60))
until grep -q '^seq_mangle: ready' "$work/mangle.log"; do
    kill -0 "${started[-1]}" 2>/dev/null || fail "seq_mangle ended: $(cat "$work/mangle.log")"
    [ "$SECONDS" -lt "$until" ] || fail "seq_mangle was not ready within 60 s"
    sleep 0.2
done

wine_env "$work/prefix"
export WINEDEBUG=${TAVRIN_WINEDEBUG:-$WINEDEBUG}
say "sequencer and display ready"
source "$lib/wine-tavrin.sh"
tavrin_exe_start "$exe" "$work/tavrin.log"

# Port-0 to Port-0: "Midi Through" gives back what it gets.
run_test success 'The test was successful\.'
# Output on Port-0, input on Port-1: nothing comes back.
pick Inputs 'Port-1'
run_test timeout 'Midi loopback timeout, check cable!'
# Output on Port-1, input on Port-0: through seq_mangle, one byte changed.
pick Inputs 'Port-0'
pick Outputs 'Port-1'
run_test failure "Midi loopback failure! Byte: 0x$(printf %X "$mangled")"

# The Help box shown whole: its five rows in order, each read from its first
# words to its last (a row too wide for its control loses its last word).
pick Help '^Help$'
box=$(wait_window "Tavrin Help" "" 60 "Help box") || exit 1
expect_text "$box" help 'any reason'
rows=$(grep -v '^ *$' "$shots/help.txt" | sed 's/ *$//')
n=0
for row in '^This program sends .* input port\. The$' \
    '^program then verifies .* Select the desired MIDI input$' \
    '^and output ports from .* checkmark$' \
    '^beside them\. Send the test data .* the .Test. button\.$' \
    '^Press the .Cancel. button to discontinue a test for any reason\.$'; do
    n=$((n + 1))
    line=$(sed -n "${n}p" <<<"$rows")
    start=${row%% *}
    grep -Eiq -- "$start " <<<"$line" || fail "row $n of the Help box is not /$start/: it says: $(tr '\n' '|' <<<"$rows")"
    grep -Eiq -- "$row" <<<"$line" || fail "row $n of the Help box is cut at \"${line##* }\": $line"
done
say "help: five rows read: $(tr '\n' '|' <<<"$rows")"
# Its OK button (50 x 14 dialog units, 8 above the foot) is centred 26 pixels
# above the box's foot.
wine_click_ok "$box" 26 || fail "the Help box has no geometry"
wait_gone "$box" "Help box"

tavrin_exe_exit

# tavrin-cli.exe, a console program, in the same Wine session now that
# tavrin.exe has let its ports go: 20 runs on Port-0, then the map of which
# output reaches which input. Without seq_mangle each output reaches only its
# own port's input. Each is judged by what it printed, not by its exit status:
# every process that has loaded Wine's ALSA MIDI driver ends with SIGSEGV here
# after main has returned, even `tavrin-cli.exe ports`, which only lists the
# ports (`--version`, which loads no MIDI driver, ends with 0): one of Wine's
# own threads jumps to an address that is no longer code. The status is
# printed for the record.
kill "$mangle_pid"; wait "$mangle_pid" 2>/dev/null
cli=$(dirname "$exe")/tavrin-cli.exe
cli_run() {  # name, arguments
    local name=$1
    shift
    timeout 600 wine "$cli" "$@" >"$work/cli-$name.txt" 2>&1
    local status=$?
    sed -i 's/\r$//' "$work/cli-$name.txt"
    sed "s/^/  cli $name | /" "$work/cli-$name.txt"
    say "cli $name: exit status $status"
}
cli_run test test --in 0 --out 0 --count 20
grep -q '^runs 20, successes 20, failures 0, time-outs 0$' "$work/cli-test.txt" ||
    fail "tavrin-cli.exe test --count 20 did not report 20 successes"
grep -q '^latency ms: min ' "$work/cli-test.txt" || fail "tavrin-cli.exe test printed no latency statistics"
cli_run wiring wiring
grep -Eq '^ *0 .*Port-0 -> input 0 .*Port-0$' "$work/cli-wiring.txt" ||
    fail "tavrin-cli.exe wiring did not find output 0 wired to input 0"
grep -Eq '^ *1 .*Port-1 -> input 1 .*Port-1$' "$work/cli-wiring.txt" ||
    fail "tavrin-cli.exe wiring did not find output 1 wired to input 1"
say "tavrin-cli.exe: test and wiring: ok"
say "all cases passed"
