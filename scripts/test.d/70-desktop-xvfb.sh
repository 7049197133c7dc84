#!/usr/bin/env bash
# The desktop program under a private Xvfb display, driven as a person would
# with xdotool, on the virtual cable. Boxes are read by OCR of their pictures.
# Pictures go to build/release/desktop-test/. VALGRIND=1 runs tavrin under valgrind.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_DESKTOP_PACKAGES[@]}" \
    xvfb xdotool imagemagick tesseract-ocr tesseract-ocr-eng x11-utils || exit 1
[ "${VALGRIND:-0}" = 1 ] && { tavrin_need_packages valgrind || exit 1; }

cmake --preset release >/dev/null || { echo "desktop: configure failed" >&2; exit 1; }
# The list is read whole first: grep -q would end the pipe early under pipefail.
targets=$(cmake --build build/release --target help 2>/dev/null)
if ! grep -qx '\.\.\. tavrin' <<<"$targets"; then
    echo "desktop: the program tavrin is not part of this build yet (no program library or no Qt); suite skipped"
    exit 0
fi
cmake --build build/release -j2 --target tavrin >/dev/null || { echo "desktop: build of tavrin failed" >&2; exit 1; }
bin=build/release/tavrin
out=build/release/desktop-test
rm -rf "$out"; mkdir -p "$out"
slow=1; [ "${VALGRIND:-0}" = 1 ] && slow=10

source scripts/test.d/lib/xvfb.sh
APP_PID=""; SECOND_PID=""; INSTANCE_DIR=""
# Asks a tavrin to end (SIGTERM); after 10 s ends it outright.
stop_app() {
    local t
    [ -n "$1" ] && kill "$1" 2>/dev/null || return 0
    for t in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}
cleanup() {
    stop_app "$APP_PID"
    stop_app "$SECOND_PID"
    APP_PID=""; SECOND_PID=""
    xvfb_stop
    [ -n "$INSTANCE_DIR" ] && rm -rf "$INSTANCE_DIR"
}
trap cleanup EXIT
xvfb_start "$out/xvfb.log" || { echo "desktop: no display to run on" >&2; exit 1; }
# The single-instance socket lives in a folder of this run's own (short: a
# socket's path has a length limit).
INSTANCE_DIR=$(mktemp -d /tmp/tavrin-desktop.XXXXXX) || exit 1
export TAVRIN_INSTANCE_DIR=$INSTANCE_DIR

fail() { echo "desktop: $*" >&2; exit 1; }

# Visible windows titled exactly $1, one id a line.
windows_named() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null; }

# Waits (deadline $3 s) for a visible window titled $1 other than those in $2.
wait_window() {
    local title=$1 except=$2 deadline=$(( $3 * slow )) t id
    for t in $(seq $(( deadline * 10 ))); do
        for id in $(windows_named "$title"); do
            [[ " $except " == *" $id "* ]] || { echo "$id"; return 0; }
        done
        kill -0 "$APP_PID" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# Waits until window $1 is gone (deadline $2 s).
wait_gone() {
    local t
    for t in $(seq $(( $2 * slow * 10 ))); do
        xdotool getwindowname "$1" >/dev/null 2>&1 && xwininfo -id "$1" 2>/dev/null | grep -q 'IsViewable' || return 0
        sleep 0.1
    done
    return 1
}

# Picture of window $1 into $2.png, and what it says into $2.txt.
shoot() {
    import -window "$1" "$out/$2.png" 2>/dev/null || fail "no picture of the $2 window"
    convert "$out/$2.png" -resize 300% -colorspace Gray "$out/$2-ocr.png" 2>/dev/null
    tesseract "$out/$2-ocr.png" "$out/$2" >/dev/null 2>&1
    tr '\n' ' ' <"$out/$2.txt" | tr -s ' '
}

# Reads box $1 (picture $2) until it says $3: a box may be mapped before it
# is painted. Deadline 5 s.
expect_box() {  # window, picture name, text expected in it
    local said t
    for t in $(seq $(( 10 * slow ))); do
        said=$(shoot "$1" "$2")
        said=${said//Ox/0x}  # OCR reads the hex prefix's zero as a capital O
        [[ "$said" == *"$3"* ]] && return 0
        sleep 0.5
    done
    fail "the $2 box says \"$said\", not \"$3\""
}

focus() {  # window
    timeout 5 xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
}

# Answers box $1 with Enter, again while it stays: a key that comes before
# the program reads its keyboard is lost. Deadline $2 s.
answer() {
    local t
    for t in $(seq "$2"); do
        focus "$1"
        xdotool key --clearmodifiers Return
        wait_gone "$1" 1 && return 0
    done
    return 1
}

# Process $1 must end within 10 s, with status 0; $2 names it in a failure.
expect_exit_0() {
    local t rc
    for t in $(seq $(( 100 * slow ))); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$1" 2>/dev/null && fail "$2 did not end"
    wait "$1"; rc=$?
    [ "$rc" -eq 0 ] || fail "$2 ended with $rc, not 0"
}

# A second tavrin while the first runs: it says so in a box of its own (no
# warning box first) and ends with 0 once that is answered; the first stays.
second_instance() {  # the first's main window
    local box
    "$bin" >"$out/second.log" 2>&1 &
    SECOND_PID=$!
    box=$(wait_window Tavrin "$1" 15) || fail "second instance: its box did not come"
    expect_box "$box" "second-instance" "Only a single instance of this application can run"
    answer "$box" 5 || fail "second instance: its box did not go"
    expect_exit_0 "$SECOND_PID" "second instance: tavrin, after its box,"
    SECOND_PID=""
    kill -0 "$APP_PID" 2>/dev/null || fail "second instance: the first tavrin ended too"
    xwininfo -id "$1" 2>/dev/null | grep -q IsViewable || fail "second instance: the first's main window is gone"
}

# One run: start, warning box, main window, TEST, the verdict, File > Exit.
run() {  # name, TAVRIN_MIDI, expected verdict text
    local name=$1 midi=$2 verdict=$3 box main_id
    echo "-- desktop: $name (TAVRIN_MIDI=$midi)"
    if [ "${VALGRIND:-0}" = 1 ]; then
        TAVRIN_MIDI=$midi valgrind --error-exitcode=99 --suppressions=scripts/test.d/lib/xcb.supp --log-file="$out/$name-valgrind.log" "$bin" &
    else
        TAVRIN_MIDI=$midi "$bin" >"$out/$name.log" 2>&1 &
    fi
    APP_PID=$!

    box=$(wait_window Tavrin "" 15) || fail "$name: the warning box did not come"
    expect_box "$box" "$name-warning" "must quit any MIDI applications"
    answer "$box" 5 || fail "$name: the warning box did not go"

    main_id=$(wait_window Tavrin "$box" 10) || fail "$name: the main window did not come"
    # Focus makes the application active: WM_ACTIVATEAPP opens the ports.
    focus "$main_id"
    sleep 0.3  # let the first paint land before the picture; not a wait for the program
    shoot "$main_id" "$name-main" >/dev/null

    # TEST: (width - 225) / 2 across, 11 lines below the menu bar; a line is (height - 75) / 14.
    local w h lh mb
    eval "$(xdotool getwindowgeometry --shell "$main_id")"
    w=$WIDTH; h=$HEIGHT; lh=$(( (h - 75) / 14 ))
    mb=${MENU_BAR_HEIGHT:-$(( h - 14 * lh - 75 + 24 ))}
    xdotool mousemove --window "$main_id" $(( (w - 225) / 2 + 37 )) $(( mb + 11 * lh + 12 )) click 1
    box=$(wait_window Tavrin "$main_id" 10) || {
        import -window root "$out/$name-no-verdict.png" 2>/dev/null
        fail "$name: the verdict box did not come; windows: $(for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do printf '"%s" ' "$(xdotool getwindowname "$w")"; done)"
    }
    expect_box "$box" "$name-verdict" "$verdict"
    answer "$box" 5 || fail "$name: the verdict box did not go"

    [ "$name" = success ] && second_instance "$main_id"

    # File > Exit through the menu bar's mnemonics.
    # The menu opens asynchronously: while no box has come, open it and choose again.
    box=
    for _ in 1 2 3 4 5; do
        focus "$main_id"
        xdotool key --clearmodifiers alt+f
        box=$(wait_window "Caution:" "" 1) && break
        xdotool key x
        box=$(wait_window "Caution:" "" 3) && break
        xdotool key Escape Escape
    done
    [ -n "$box" ] || { import -window root "$out/$name-no-caution.png" 2>/dev/null; fail "$name: the Caution: box did not come"; }
    expect_box "$box" "$name-caution" "disconnect the MIDI output cable"
    answer "$box" 5 || fail "$name: the Caution: box did not go"
    expect_exit_0 "$APP_PID" "$name: tavrin, after File > Exit,"
    APP_PID=""
}

run success cable "The test was successful."
run timeout cable:unplugged "loopback timeout, check cable"
run failure cable:corrupt=5:0x44 "Byte: 0x5"
echo "desktop: all runs passed; pictures in $out"
