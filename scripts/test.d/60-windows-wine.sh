#!/usr/bin/env bash
# tavrin.exe, cross-compiled with MinGW-w64, under Wine on a private Xvfb
# display. Wine has no MIDI ports here, so the start-up path it can show is:
# the warning box, the "MidiInit" box, exit 0 with no main window. Then the
# single-instance rule on the real windowing system: a second instance, while
# the first waits at its "MidiInit" box, shows only its own box and exits 0.
#
# The Wine prefix is kept in the build folder between runs (making one takes
# a minute or more); screenshots of every box are left beside it.
# TAVRIN_WINE_EXE=path runs that exe instead of building tavrin.exe.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages cmake g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libcli11-dev nlohmann-json3-dev \
    wine wine64 xvfb xdotool imagemagick || exit 1

build=build/windows
exe=${TAVRIN_WINE_EXE:-}
if [ -z "$exe" ] && ! ls midi/*.c* loopback/*.c* >/dev/null 2>&1; then
    echo "windows-wine: SKIPPED: the MIDI layer and the loopback test (midi/, loopback/) are not in this tree yet"
    exit 0
fi
if [ -z "$exe" ]; then
    cmake --preset windows >/dev/null && cmake --build --preset windows -j2 >/dev/null || {
        echo "windows-wine: building tavrin.exe failed" >&2; exit 1; }
    exe=$build/tavrin.exe
    # Nothing but Windows' own DLLs may be needed.
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | sort -u | tr '\n' ' ')
    echo "windows-wine: tavrin.exe $(stat -c %s "$exe") bytes, imports: $dlls"
    for dll in $dlls; do
        case "${dll,,}" in
            kernel32.dll|user32.dll|gdi32.dll|winmm.dll|msvcrt.dll|api-ms-win-crt-*.dll) ;;
            *) echo "windows-wine: tavrin.exe needs $dll" >&2; exit 1 ;;
        esac
    done
fi
mkdir -p "$build"
shots=$PWD/$build/wine-shots
rm -rf "$shots"; mkdir -p "$shots"

export WINEPREFIX=$PWD/$build/wine-prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Debian's launcher; it starts the 64-bit loader that wine64 installs.
wine=wine

xvfb_pid=
started=()
cleanup() {
    local pid
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
    # Ends this prefix's server and every Wine process of it, and waits for them.
    [ -d "$WINEPREFIX" ] && { timeout 30 wineserver -k 2>/dev/null; timeout 30 wineserver -w 2>/dev/null; }
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    for pid in "${started[@]}" $xvfb_pid; do wait "$pid" 2>/dev/null; done
    rm -f "${displayfile:-}"
}
trap cleanup EXIT

fail() { echo "windows-wine: $*" >&2; exit 1; }

# A private display: Xvfb picks a free number and writes it when it is ready.
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" 2>/dev/null &
xvfb_pid=$!
until=$((SECONDS + 30))
while [ ! -s "$displayfile" ]; do
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start"
    [ "$SECONDS" -lt "$until" ] || fail "Xvfb's display never came"
    sleep 0.1
done
export DISPLAY=:$(head -n1 "$displayfile")

# The prefix, made once; a prefix whose making was cut short is made again.
if [ ! -e "$WINEPREFIX/.tavrin-ready" ]; then
    rm -rf "$WINEPREFIX"
    t0=$SECONDS
    "$wine" wineboot --init >/dev/null 2>&1 || fail "wineboot failed"
    # wineboot returns before the prefix's services have finished; the server
    # ends once they have.
    timeout 600 wineserver -w || fail "the Wine prefix was not ready within 600 s"
    touch "$WINEPREFIX/.tavrin-ready"
    echo "windows-wine: new Wine prefix in $((SECONDS - t0)) s"
fi

# Runs the exe in the background; its pid goes into $run_pid.
start_exe() {
    "$wine" "$exe" >/dev/null 2>&1 &
    run_pid=$!
    started+=("$run_pid")
}

# Echoes the id of a visible window whose title is exactly $1, if any.
visible_window() {
    xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1
}

# Waits for the visible window titled $1 (what: $2) while process $3 lives.
wait_window() {
    local title=$1 what=$2 pid=$3 id until=$((SECONDS + 90))
    while :; do
        id=$(visible_window "$title")
        [ -n "$id" ] && { echo "$id"; return 0; }
        kill -0 "$pid" 2>/dev/null || fail "the $what (caption \"$title\") never came: the program ended first"
        [ "$SECONDS" -lt "$until" ] || fail "the $what (caption \"$title\") never came within 90 s"
        sleep 0.2
    done
}

shoot() { import -window root "$shots/$1.png" || fail "no screenshot $1"; }

# Presses Enter in box $1 (what: $2), or clicks its OK button if Enter does
# not reach it, and waits for it to go.
press_enter() {
    local id=$1 what=$2 until=$((SECONDS + 60)) next=0
    # Without a window manager, another instance's raise request can take the
    # focus from a box: focus it again and press again while it stays up.
    while xdotool search --onlyvisible --name . 2>/dev/null | grep -qx "$id"; do
        [ "$SECONDS" -lt "$until" ] || { shoot "stuck-$id"; fail "the $what stayed up after Enter"; }
        if [ "$SECONDS" -ge "$next" ] && [ "$next" -gt 0 ]; then
            # Still up: click its OK button, centred at its foot, as a person would.
            eval "$(xdotool getwindowgeometry --shell "$id" 2>/dev/null)"
            xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 22)) click 1
            next=$((SECONDS + 3))
        elif [ "$next" -eq 0 ]; then
            timeout 10 xdotool windowfocus --sync "$id" 2>/dev/null
            xdotool key --clearmodifiers Return
            next=$((SECONDS + 3))
        fi
        sleep 0.2
    done
}

# Waits for process $1 (what: $2) to end and checks that its status is 0.
expect_exit0() {
    local pid=$1 what=$2 until=$((SECONDS + 60)) rc
    while kill -0 "$pid" 2>/dev/null; do
        [ "$SECONDS" -lt "$until" ] || fail "$what did not exit within 60 s"
        [ -z "$(visible_window Tavrin)" ] || { shoot unexpected-window; fail "$what showed a window titled \"Tavrin\""; }
        sleep 0.2
    done
    wait "$pid"; rc=$?
    [ "$rc" -eq 0 ] || fail "$what exited with status $rc"
}

t0=$SECONDS

# Start-up without MIDI ports: warning, then the MidiInit box, then exit 0.
start_exe; first=$run_pid
id=$(wait_window Tavrin "start-up warning box" "$first") || exit 1
[ -z "$(visible_window MidiInit)" ] || fail "the MidiInit box came before the start-up warning was answered"
shoot 1-warning
press_enter "$id" "start-up warning box"
id=$(wait_window MidiInit "\"No MIDI input or output devices are present\" box" "$first") || exit 1
shoot 2-midiinit
[ -z "$(visible_window Tavrin)" ] || fail "a window titled \"Tavrin\" is visible beside the MidiInit box"
press_enter "$id" "MidiInit box"
expect_exit0 "$first" "tavrin.exe without MIDI ports"
echo "windows-wine: start-up without MIDI ports: ok"

# Single instance: the first waits at its MidiInit box with its hidden main window.
start_exe; first=$run_pid
id=$(wait_window Tavrin "start-up warning box" "$first") || exit 1
press_enter "$id" "start-up warning box"
first_box=$(wait_window MidiInit "MidiInit box of the first instance" "$first") || exit 1
start_exe; second=$run_pid
id=$(wait_window Tavrin "\"Only a single instance of this application can run\" box" "$second") || exit 1
shoot 3-single-instance
press_enter "$id" "single-instance box"
# Had the second shown the start-up warning, it would now show its own MidiInit box, not end.
expect_exit0 "$second" "the second instance"
[ "$(xdotool search --onlyvisible --name '^MidiInit$' 2>/dev/null | wc -l)" -eq 1 ] ||
    fail "the second instance showed a MidiInit box of its own"
press_enter "$first_box" "MidiInit box of the first instance"
expect_exit0 "$first" "the first instance"
echo "windows-wine: single instance: ok"

echo "windows-wine: ok in $((SECONDS - t0)) s (screenshots in $shots)"
