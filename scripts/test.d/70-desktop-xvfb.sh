#!/usr/bin/env bash
# The desktop program under a private Xvfb display, driven as a person would
# with xdotool, on the virtual cable: every case once without a window
# manager and once under openbox, then what only a window manager does.
# Each key or click is given once, after the state that shows the program can
# take it (a window with the keyboard, a box that says what it should).
# Boxes are read by OCR of their pictures.
# Pictures go to build/release/desktop-test/. VALGRIND=1 runs tavrin under valgrind.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_DESKTOP_PACKAGES[@]}" \
    "${TAVRIN_DESKTOP_TEST_PACKAGES[@]}" || exit 1
[ "${VALGRIND:-0}" = 1 ] && { tavrin_need_packages valgrind || exit 1; }

source scripts/test.d/lib/desktop.sh
fail() { echo "desktop: $*" >&2; exit 1; }
desktop_build desktop
bin=build/release/tavrin
out=build/release/desktop-test
rm -rf "$out"; mkdir -p "$out"
slow=1; [ "${VALGRIND:-0}" = 1 ] && slow=10

source scripts/test.d/lib/xvfb.sh
APP_PID=""; SECOND_PID=""; INSTANCE_DIR=""; WM_PID=""
cleanup() {
    stop_process "$APP_PID"
    stop_process "$SECOND_PID"
    APP_PID=""; SECOND_PID=""
    [ -n "$WM_PID" ] && kill "$WM_PID" 2>/dev/null && wait "$WM_PID" 2>/dev/null
    WM_PID=""
    xvfb_stop
    [ -n "$INSTANCE_DIR" ] && rm -rf "$INSTANCE_DIR"
}
trap cleanup EXIT
xvfb_start "$out/xvfb.log" || { echo "desktop: no display to run on" >&2; exit 1; }
# The single-instance socket lives in a folder of this run's own (short: a
# socket's path has a length limit).
INSTANCE_DIR=$(mktemp -d /tmp/tavrin-desktop.XXXXXX) || exit 1
export TAVRIN_INSTANCE_DIR=$INSTANCE_DIR

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

# Whether window $1 has the keyboard.
has_focus() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]; }

# Waits (deadline 5 s) until box $1 has the keyboard and its picture $2 says
# $3: mapped, focused and painted, it takes the one key a person presses.
box_ready() {  # window, picture name, text expected in it
    local said="" t
    for t in $(seq $(( 10 * slow ))); do
        if has_focus "$1"; then
            said=$(shoot "$1" "$2")
            said=${said//Ox/0x}  # OCR reads the hex prefix's zero as a capital O
            [[ "$said" == *"$3"* ]] && return 0
        fi
        sleep 0.5
    done
    has_focus "$1" || fail "the $2 box never had the keyboard"
    fail "the $2 box says \"$said\", not \"$3\""
}

# Presses key $2 once in box $1 (named $3); the box must go.
answer() {  # window, key, name
    xdotool key --clearmodifiers "$2"
    wait_gone "$1" 5 || fail "the $3 box did not go after $2"
}

# Waits (deadline 5 s) until window $1 has the keyboard.
wait_focus() {  # window, name
    local t
    for t in $(seq $(( 50 * slow ))); do has_focus "$1" && return 0; sleep 0.1; done
    import -window root "$out/no-focus.png" 2>/dev/null
    fail "the $2 window never had the keyboard (it went to $(xdotool getwindowfocus getwindowname 2>/dev/null))"
}

# An open menu: a mapped override-redirect window of the program's; prints it.
menu_open() {
    local id
    for id in $(xdotool search --onlyvisible --classname '^tavrin$' 2>/dev/null); do
        xwininfo -id "$id" 2>/dev/null | grep -q 'Override Redirect State: yes' && { echo "$id"; return 0; }
    done
    return 1
}
wait_menu() {  # open|closed, what was pressed
    local t
    for t in $(seq $(( 30 * slow ))); do
        if [ "$1" = open ]; then menu_open >/dev/null && return 0; else menu_open >/dev/null || return 0; fi
        sleep 0.1
    done
    import -window root "$out/menu-$1.png" 2>/dev/null
    fail "no menu is $1 after $2"
}

# A second tavrin while the first runs: it says so in a box of its own (no
# warning box first) and ends with 0 once that is answered; the first stays.
second_instance() {  # the first's main window
    local box
    "$bin" >"$out/second.log" 2>&1 &
    SECOND_PID=$!
    box=$(wait_window Tavrin "$1" 15) || fail "second instance: its box did not come"
    box_ready "$box" "second-instance" "Only a single instance of this application can run"
    answer "$box" Return "second instance"
    expect_exit_0 "$SECOND_PID" "second instance: tavrin, after its box,"
    SECOND_PID=""
    kill -0 "$APP_PID" 2>/dev/null || fail "second instance: the first tavrin ended too"
    xwininfo -id "$1" 2>/dev/null | grep -q IsViewable || fail "second instance: the first's main window is gone"
}

# Starts tavrin on $2, answers the warning box with Enter; sets MAIN to the
# main window once it has the keyboard.
MAIN=""
start() {  # name, TAVRIN_MIDI
    local box
    if [ "${VALGRIND:-0}" = 1 ]; then
        TAVRIN_MIDI=$2 valgrind --error-exitcode=99 --suppressions=scripts/test.d/lib/xcb.supp --log-file="$out/$1-valgrind.log" "$bin" &
    else
        TAVRIN_MIDI=$2 "$bin" >"$out/$1.log" 2>&1 &
    fi
    APP_PID=$!
    box=$(wait_window Tavrin "" 15) || fail "$1: the warning box did not come"
    box_ready "$box" "$1-warning" "must quit any MIDI applications"
    answer "$box" Return "$1 warning"
    MAIN=$(wait_window Tavrin "$box" 10) || fail "$1: the main window did not come"
    # The program activates its window (WM_ACTIVATEAPP opens the ports).
    wait_focus "$MAIN" "$1 main"
}

# Clicks TEST: (width - 225) / 2 across, 11 lines below the menu bar; a line is (height - 75) / 14.
click_test() {  # main window
    local w h lh mb
    eval "$(xdotool getwindowgeometry --shell "$1")"
    w=$WIDTH; h=$HEIGHT; lh=$(( (h - 75) / 14 ))
    mb=${MENU_BAR_HEIGHT:-$(( h - 14 * lh - 75 + 24 ))}
    xdotool mousemove --window "$1" $(( (w - 225) / 2 + 37 )) $(( mb + 11 * lh + 12 )) click 1
}

# The box that comes over the main window $1 after what $2 did; $3 names it.
next_box() {
    local box
    box=$(wait_window "${4:-Tavrin}" "$1" 10) || {
        import -window root "$out/no-$3.png" 2>/dev/null
        fail "the $3 box did not come after $2; windows: $(for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do printf '"%s" ' "$(xdotool getwindowname "$w")"; done)"
    }
    echo "$box"
}

# File > Exit by the menu's mnemonics, the Caution: box answered with Enter: ends with 0.
exit_by_keys() {  # name, main window
    local box
    xdotool key --clearmodifiers alt+f
    wait_menu open "Alt+F"
    xdotool key x
    box=$(next_box "$2" "File > Exit" "$1-caution" "Caution:")
    box_ready "$box" "$1-caution" "disconnect the MIDI output cable"
    answer "$box" Return "$1 Caution:"
    expect_exit_0 "$APP_PID" "$1: tavrin, after File > Exit,"
    APP_PID=""
}

# File > Exit by the mouse: a click on "File", one on "Exit"; Enter answers Caution:.
exit_by_mouse() {  # name, main window
    local box menu
    xdotool mousemove --window "$2" 20 10 click 1
    wait_menu open "a click on File"
    menu=$(menu_open)
    eval "$(xdotool getwindowgeometry --shell "$menu")"
    xdotool mousemove --window "$menu" $(( WIDTH / 2 )) 12 click 1
    box=$(next_box "$2" "a click on Exit" "$1-caution" "Caution:")
    box_ready "$box" "$1-caution" "disconnect the MIDI output cable"
    answer "$box" Return "$1 Caution:"
    expect_exit_0 "$APP_PID" "$1: tavrin, after File > Exit,"
    APP_PID=""
}

# The whole test by keyboard: Tab, Space presses TEST; Enter answers the
# verdict; each menu opens at the first press of its mnemonic; Escape closes it.
keyboard_run() {
    local main_id box m
    echo "-- desktop: keyboard (TAVRIN_MIDI=cable)"
    start keyboard cable; main_id=$MAIN
    shoot "$main_id" keyboard-main >/dev/null
    xdotool key --clearmodifiers Tab space
    box=$(next_box "$main_id" "Tab, Space" keyboard-verdict)
    box_ready "$box" keyboard-verdict "The test was successful."
    answer "$box" Return "keyboard verdict"
    wait_focus "$main_id" "keyboard main (after the verdict)"
    for m in i o; do
        xdotool key --clearmodifiers "alt+$m"
        wait_menu open "Alt+${m^^}"
        xdotool key Escape
        wait_menu closed "Escape in the menu of Alt+${m^^}"
        xdotool key Escape  # leaves the menu bar
    done
    help_boxes "$main_id"
    exit_by_keys keyboard "$main_id"
}

# Help > Tavrin Help and Help > About by their mnemonics. Every row of the
# Help box ends with its last word; Escape leaves a box up, Enter closes it.
help_boxes() {  # main window
    local box said row
    xdotool key --clearmodifiers alt+h
    wait_menu open "Alt+H"
    xdotool key t
    box=$(next_box "$1" "Help > Tavrin Help" help "Tavrin Help")
    box_ready "$box" help "discontinue a test for any reason."
    said=$(cat "$out/help.txt")
    for row in "to the selected input port. The" "Select the desired MIDI input" \
               "will have a checkmark" 'by pressing the "Test" button.' "for any reason."; do
        grep -qF -- "$row" <<<"$said" || fail "a row of the Help box lost its end: no \"$row\" in: $said"
    done
    xdotool key Escape
    sleep 0.5  # time to react to it; the box must still stand after it
    xwininfo -id "$box" | grep -q IsViewable || fail "Escape closed the Help box"
    answer "$box" Return help
    wait_focus "$1" "main (after Help)"
    xdotool key --clearmodifiers alt+h
    wait_menu open "Alt+H (again)"
    xdotool key a
    box=$(next_box "$1" "Help > About" about "About Tavrin")
    box_ready "$box" about "Version 1.1"
    answer "$box" Return about
    wait_focus "$1" "main (after About)"
}

# TEST by the mouse, the verdict box answered with key $4, then $5: "second"
# (a second instance, then File > Exit by the mouse) or "keys" (File > Exit by keys).
mouse_run() {  # name, TAVRIN_MIDI, expected verdict text, key, second|keys
    local main_id box
    echo "-- desktop: $1 (TAVRIN_MIDI=$2)"
    start "$1" "$2"; main_id=$MAIN
    click_test "$main_id"
    box=$(next_box "$main_id" "a click on TEST" "$1-verdict")
    box_ready "$box" "$1-verdict" "$3"
    answer "$box" "$4" "$1 verdict"
    wait_focus "$main_id" "$1 main (after the verdict)"
    if [ "$5" = second ]; then
        second_instance "$main_id"
        exit_by_mouse "$1" "$main_id"
    else
        exit_by_keys "$1" "$main_id"
    fi
}

# The window manager's allowed actions of window $1, one a line.
allowed_actions() { xprop -id "$1" _NET_WM_ALLOWED_ACTIONS 2>/dev/null | tr ',= ' '\n\n\n' | grep _NET_WM_ACTION_; }

# Under a window manager: a box's frame offers what a Win32 message box's
# does, a minimize from the window manager does not take a box away, and a
# close request goes the way WM_CLOSE goes, through the abandon question
# while a test runs and straight to status 0 when idle.
wm_run() {
    local main_id box verdict acts hints fn dec
    echo "-- desktop: window manager (TAVRIN_MIDI=cable:unplugged)"
    start wm cable:unplugged; main_id=$MAIN
    click_test "$main_id"
    # The close request comes while the test runs: the abandon question.
    wmctrl -i -c "$main_id"
    box=$(next_box "$main_id" "a close request during a test" wm-abandon MidiActivateDevice)
    wait_focus "$box" "abandon box"
    # Neither Escape nor a close request answers a Yes/No box: it still
    # stands when the test's time-out box comes over it, 2 s after TEST.
    xdotool key Escape
    wmctrl -i -c "$box"
    verdict=$(next_box "$main_id $box" "the time-out under the abandon question" wm-verdict)
    xwininfo -id "$box" | grep -q IsViewable || fail "Escape or a close request answered the Yes/No abandon box"
    acts=$(allowed_actions "$box")
    grep -qx _NET_WM_ACTION_CLOSE <<<"$acts" || fail "the abandon box cannot be closed from its frame: $acts"
    grep -qx -e _NET_WM_ACTION_MAXIMIZE_VERT -e _NET_WM_ACTION_RESIZE <<<"$acts" && fail "the abandon box can be resized or maximized: $acts"
    # What the program asks of any window manager (Motif hints: functions,
    # decorations): neither minimize nor maximize.
    hints=$(xprop -id "$box" _MOTIF_WM_HINTS | sed 's/.*= //')
    IFS=', ' read -r _ fn dec _ <<<"$hints"
    (( (fn & 0x18) == 0 && (dec & 0x60) == 0 )) || fail "the abandon box asks for minimize or maximize: $hints"
    # A minimize from the window manager does not take a box away.
    box_ready "$verdict" wm-verdict "loopback timeout, check cable"
    xdotool windowminimize "$verdict"
    sleep 0.5  # time to react to it; the box must still stand after it
    xwininfo -id "$verdict" | grep -q IsViewable || fail "the verdict box was minimized away"
    wait_focus "$verdict" "verdict box (after a minimize)"
    answer "$verdict" Return "wm verdict"
    # The question still waits; Enter presses its default button, Yes.
    box_ready "$box" wm-abandon "still in use - abandon it?"
    answer "$box" Return "wm abandon"
    expect_exit_0 "$APP_PID" "wm: tavrin, after a close request during a test,"
    APP_PID=""

    echo "-- desktop: window manager, Alt+F4 on the idle window (TAVRIN_MIDI=cable)"
    start wm-idle cable; main_id=$MAIN
    xdotool key --clearmodifiers alt+F4
    expect_exit_0 "$APP_PID" "wm: tavrin, after Alt+F4,"
    APP_PID=""
}

# At twice the scale the boxes keep the lines they have at 1x: each stands
# on one line of the picture. The picture of the window with its verdict box
# is the 2x one of docs/ (taken under a window manager, with its frame).
hidpi_run() {
    local main_id box line
    echo "-- desktop: 2x (QT_SCALE_FACTOR=2, TAVRIN_MIDI=cable:unplugged)"
    QT_SCALE_FACTOR=2 start hidpi cable:unplugged; main_id=$MAIN
    line="You must quit any MIDI applications before running this test."
    grep -qF -- "$line" "$out/hidpi-warning.txt" || fail "at 2x the warning box does not keep \"$line\" on one line: $(cat "$out/hidpi-warning.txt")"
    xdotool key --clearmodifiers Tab space
    box=$(next_box "$main_id" "Tab, Space" hidpi-verdict)
    box_ready "$box" hidpi-verdict "loopback timeout, check cable"
    line="Midi loopback timeout, check cable!"
    grep -qF -- "$line" "$out/hidpi-verdict.txt" || fail "at 2x the verdict box does not keep \"$line\" on one line: $(cat "$out/hidpi-verdict.txt")"
    # The window with its frame: the window manager's frame extents around it.
    local l r t b x y w h
    read -r x y w h < <(xwininfo -id "$main_id" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
        /^ *Width:/ {w=$NF} /^ *Height:/ {h=$NF} END {print x, y, w, h}')
    IFS=', ' read -r l r t b < <(xprop -id "$main_id" _NET_FRAME_EXTENTS | sed 's/.*= //; s/.*not found.*/0, 0, 0, 0/')
    import -window root -crop "$(( w + l + r ))x$(( h + t + b ))+$(( x - l ))+$(( y - t ))" +repage "$out/tavrin-2x.png" 2>/dev/null
    answer "$box" Return "hidpi verdict"
    wait_focus "$main_id" "hidpi main (after the verdict)"
    exit_by_keys hidpi "$main_id"
}

# All cases on the display as it is (with or without a window manager).
cases() {
    keyboard_run
    mouse_run timeout cable:unplugged "loopback timeout, check cable" Escape second
    mouse_run failure cable:corrupt=5:0x44 "Byte: 0x5" Return keys
}

cases

echo "-- desktop: the same under openbox"
openbox --sm-disable >"$out/openbox.log" 2>&1 &
WM_PID=$!
for _ in $(seq 100); do wmctrl -m 2>/dev/null | grep -q '^Name: Openbox' && break; sleep 0.1; done
wmctrl -m 2>/dev/null | grep -q '^Name: Openbox' || fail "openbox did not come"
cases
hidpi_run
wm_run
echo "desktop: all runs passed; pictures in $out"
