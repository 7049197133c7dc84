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
tavrin_windows() { xdotool search --onlyvisible --classname '^tavrin\.exe$' 2>/dev/null; }

# Waits (deadline $3 s) for a visible window titled exactly $1 that is not
# among the ids in $2; echoes its id. $4 names it in a failure.
wait_window() {
    wine_wait_window "$1" "$2" "$3" $tavrin && return 0
    [ -z "$tavrin" ] || kill -0 "$tavrin" 2>/dev/null || fail "the $4 (caption \"$1\") never came: tavrin.exe ended"
    fail "the $4 (caption \"$1\") never came within $3 s"
}

# Waits (deadline 60 s) until window $1 ($2) is no longer visible.
wait_gone() {
    wine_wait_gone "$1" 60 || fail "the $2 stayed up after it was answered"
}

# Picture of window $1 into $shots/$2.png, read by OCR into $2.txt and, word by
# word with their boxes, $2.tsv (at three times the size, which OCR reads best).
# The picture is the screen cut to the window's frame: a picture asked of the
# window itself sometimes came back as the whole screen.
read_window() {
    local X Y WIDTH HEIGHT
    eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null)" || fail "the $2 window has no geometry"
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shots/$2.png" 2>/dev/null ||
        fail "no picture of the $2 window"
    convert "$shots/$2.png" -resize 300% -colorspace Gray "$shots/$2-ocr.png" 2>/dev/null
    tesseract "$shots/$2-ocr.png" "$shots/$2" txt tsv >/dev/null 2>&1
    sed -i 's/\bOx\([0-9A-F]\)/0x\1/g' "$shots/$2.txt"  # a capital O read for the hex prefix's zero
}

# A second reading of picture $1 for sparse text (a menu of one short item,
# which OCR's reading as a page misses): sharpened, larger, word by word.
read_sparse() {
    convert "$shots/$1.png" -resize 400% -colorspace Gray -threshold 60% "$shots/$1-sparse.png" 2>/dev/null
    tesseract "$shots/$1-sparse.png" "$shots/$1-sparse" --psm 11 txt tsv >/dev/null 2>&1
}

# Reads window $1 ($2) until its text matches the regex $3: a window may be
# mapped before it is painted. Deadline 60 s. Letters are compared without
# their case: OCR reads the small "f" of Wine's dialog face as a capital.
expect_text() {
    local until=$((SECONDS + 60))
    while :; do
        read_window "$1" "$2"
        tr '\n' ' ' <"$shots/$2.txt" | tr -s ' ' | grep -Eiq -- "$3" && return 0
        read_sparse "$2"
        tr '\n' ' ' <"$shots/$2-sparse.txt" | tr -s ' ' | grep -Eiq -- "$3" && return 0
        [ "$SECONDS" -lt "$until" ] || fail "the $2 window says \"$(tr '\n' ' ' <"$shots/$2.txt")\", not /$3/"
        sleep 1
    done
}

# Clicks, once, the first word matching the regex $3 in the last reading $2 of
# window $1, at its centre. A word in a button's frame is often missed by the
# first reading: a second one, for sparse text on a sharpened picture, finds it.
click_word() {
    local box X Y
    word_at() {
        awk -F'\t' -v re="$3" -v scale="$2" 'NR > 1 && $12 ~ re {
            print int(($7 + $9 / 2) / scale), int(($8 + $10 / 2) / scale); exit }' "$1"
    }
    box=$(word_at "$shots/$2.tsv" 3 "$3")
    if [ -z "$box" ]; then
        read_sparse "$2"
        box=$(word_at "$shots/$2-sparse.tsv" 4 "$3")
    fi
    [ -n "$box" ] || fail "no word /$3/ in the $2 window to click: it says \"$(tr '\n' ' ' <"$shots/$2.txt")\""
    eval "$(xdotool getwindowgeometry --shell "$1")"
    xdotool mousemove $((X + ${box% *})) $((Y + ${box#* })) click 1
}

# Answers message box $1 ($2) with one click on its OK button.
answer() {
    wine_click_ok "$1" || fail "the $2 has no geometry"
    wait_gone "$1" "$2"
}

# Waits (deadline 30 s) for a new window of tavrin.exe beside those in $1: a
# popup menu has no title. Echoes its id.
wait_popup() {
    local until=$((SECONDS + 30)) id
    while :; do
        for id in $(tavrin_windows); do
            [[ " $1 " == *" $id "* ]] || { echo "$id"; return 0; }
        done
        [ "$SECONDS" -lt "$until" ] || fail "the $2 menu did not open"
        sleep 0.2
    done
}

# Opens menu $1 of the main window and picks its item matching the regex $2.
pick() {
    local before popup
    before=$(tavrin_windows | tr '\n' ' ')
    click_word "$main" main "^$1[)]?\$"  # OCR may read the bar's first title with a ")"
    popup=$(wait_popup "$before" "$1") || exit 1
    expect_text "$popup" "menu-$1" "${2//[\^\$]/}"
    click_word "$popup" "menu-$1" "$2"
    wait_gone "$popup" "$1 menu"
}

# One test: TEST pressed, the verdict box read and answered.
run_test() {  # name, regex of the verdict
    local box
    read_window "$main" main
    click_word "$main" main '^TEST$'
    box=$(wait_window Tavrin "$main" 60 "verdict box of the $1 case") || exit 1
    expect_text "$box" "$1" "$2"
    # (the box's icon may be read as a sign or two before the text)
    say "$1: the box says \"$(tr '\n' ' ' <"$shots/$1.txt" | tr -s ' ' | sed 's/^[^A-Za-z]*//; s/ *$//')\""
    answer "$box" "verdict box of the $1 case"
}

# Wine's desktop process starts tavrin.exe once it is ready. A program started
# alone would start that process itself and give it 10 s: under emulation it
# needs longer, and the program would then find no window driver.
tavrin=""
wine explorer.exe /desktop "$(winepath -w "$exe")" >"$work/tavrin.log" 2>&1 &
started+=($!)

box=$(wait_window Tavrin "" 900 "start-up box") || exit 1
tavrin=$(xdotool getwindowpid "$box")
expect_text "$box" start-up 'You must quit any MIDI applications'
say "start-up box: ok"
answer "$box" "start-up box"
main=$(wait_window Tavrin "$box" 60 "main window") || exit 1
say "main window: shown"

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

# File > Exit: the caution, then the program ends (judged by its process
# going: its exit status is lost to a fault of Wine's, see below).
pick File '^Exit$'
box=$(wait_window "Caution:" "" 60 "caution box of File > Exit") || exit 1
expect_text "$box" caution 'You must disconnect the MIDI output cable'
say "exit: the box says \"$(tr '\n' ' ' <"$shots/caution.txt" | tr -s ' ' | sed 's/^[^A-Za-z]*//; s/ *$//')\""
answer "$box" "caution box of File > Exit"
until=$((SECONDS + 60))
while kill -0 "$tavrin" 2>/dev/null; do
    [ "$SECONDS" -lt "$until" ] || fail "tavrin.exe did not end within 60 s of File > Exit"
    sleep 0.2
done
say "exit: tavrin.exe ended"

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
