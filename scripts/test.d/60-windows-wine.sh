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
source scripts/test.d/lib/wine.sh
tavrin_need_packages cmake g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libcli11-dev nlohmann-json3-dev \
    "${WINE_PACKAGES[@]}" xvfb xdotool imagemagick x11-utils || exit 1

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

source scripts/test.d/lib/xvfb.sh
wine_env "$PWD/$build/wine-prefix"

started=()
cleanup() {
    local pid
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
    # Ends this prefix's server and every Wine process of it, and waits for them.
    [ -d "$WINEPREFIX" ] && { timeout 30 wineserver -k 2>/dev/null; timeout 30 wineserver -w 2>/dev/null; }
    for pid in "${started[@]}"; do wait "$pid" 2>/dev/null; done
    xvfb_stop
}
trap cleanup EXIT

fail() { echo "windows-wine: $*" >&2; exit 1; }

xvfb_start || fail "no Xvfb display"
wine_prefix || exit 1

# Runs the exe in the background; its pid goes into $run_pid.
start_exe() {
    wine "$exe" >/dev/null 2>&1 &
    run_pid=$!
    started+=("$run_pid")
}

# Echoes the id of a visible window whose title is exactly $1, if any.
visible_window() {
    xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1
}

# Waits for the visible window titled $1 (what: $2) while process $3 lives.
wait_window() {
    wine_wait_window "$1" "" 90 "$3" && return 0
    kill -0 "$3" 2>/dev/null || fail "the $2 (caption \"$1\") never came: the program ended first"
    fail "the $2 (caption \"$1\") never came within 90 s"
}

shoot() { import -window root "$shots/$1.png" || fail "no screenshot $1"; }

# Clicks the OK button of box $1 (what: $2), once, and waits for it to go.
press_ok() {
    wine_click_ok "$1" || fail "the $2 has no geometry"
    wine_wait_gone "$1" 60 || { shoot "stuck-$1"; fail "the $2 stayed up after its OK button was clicked"; }
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
press_ok "$id" "start-up warning box"
id=$(wait_window MidiInit "\"No MIDI input or output devices are present\" box" "$first") || exit 1
shoot 2-midiinit
[ -z "$(visible_window Tavrin)" ] || fail "a window titled \"Tavrin\" is visible beside the MidiInit box"
press_ok "$id" "MidiInit box"
expect_exit0 "$first" "tavrin.exe without MIDI ports"
echo "windows-wine: start-up without MIDI ports: ok"

# Single instance: the first waits at its MidiInit box with its hidden main window.
start_exe; first=$run_pid
id=$(wait_window Tavrin "start-up warning box" "$first") || exit 1
press_ok "$id" "start-up warning box"
first_box=$(wait_window MidiInit "MidiInit box of the first instance" "$first") || exit 1
start_exe; second=$run_pid
id=$(wait_window Tavrin "\"Only a single instance of this application can run\" box" "$second") || exit 1
shoot 3-single-instance
press_ok "$id" "single-instance box"
# Had the second shown the start-up warning, it would now show its own MidiInit box, not end.
expect_exit0 "$second" "the second instance"
[ "$(xdotool search --onlyvisible --name '^MidiInit$' 2>/dev/null | wc -l)" -eq 1 ] ||
    fail "the second instance showed a MidiInit box of its own"
press_ok "$first_box" "MidiInit box of the first instance"
expect_exit0 "$first" "the first instance"
echo "windows-wine: single instance: ok"

echo "windows-wine: ok in $((SECONDS - t0)) s (screenshots in $shots)"
