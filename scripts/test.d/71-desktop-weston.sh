#!/usr/bin/env bash
# The desktop program on Wayland: Qt's Wayland platform under Weston's
# headless backend, on the virtual cable. Weston's headless backend has no
# seat; a module of this suite (lib/weston-input.c) gives it a keyboard and a
# pointer fed through a FIFO. The screen is read by OCR of Weston's own
# screenshots; each key is given once, after the screen shows the state that
# can take it. Pictures go to build/release/desktop-weston/.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_DESKTOP_PACKAGES[@]}" \
    "${TAVRIN_WESTON_TEST_PACKAGES[@]}" || exit 1

source scripts/test.d/lib/desktop.sh
fail() {
    [ -n "${WESTON_PID:-}" ] && picture failure 2>/dev/null
    echo "weston: $*" >&2
    exit 1
}
desktop_build weston
bin=build/release/tavrin
module=build/release/weston-input.so
# shellcheck disable=SC2046  # pkg-config's words are meant to split
cc -std=c11 -Wall -Wextra -Werror -shared -fPIC $(pkg-config --cflags libweston-10) -o "$module" \
    scripts/test.d/lib/weston-input.c $(pkg-config --libs libweston-10) || fail "the input module did not build"
out=build/release/desktop-weston
rm -rf "$out"; mkdir -p "$out"

RUN_DIR=""; WESTON_PID=""; APP_PID=""; SECOND_PID=""
cleanup() {
    stop_process "$APP_PID"; stop_process "$SECOND_PID"; stop_process "$WESTON_PID"
    APP_PID=""; SECOND_PID=""; WESTON_PID=""
    [ -n "$RUN_DIR" ] && rm -rf "$RUN_DIR"
    RUN_DIR=""
}
trap cleanup EXIT

# A private runtime folder: Weston's socket, the FIFO, the single-instance socket.
RUN_DIR=$(mktemp -d /tmp/tavrin-weston.XXXXXX) || exit 1
chmod 700 "$RUN_DIR"
export XDG_RUNTIME_DIR=$RUN_DIR WAYLAND_DISPLAY=tavrin-test TAVRIN_INSTANCE_DIR=$RUN_DIR
unset DISPLAY
mkfifo -m 600 "$RUN_DIR/input"
# A black desktop without a panel, that never blanks: what OCR reads is the program.
printf '[core]\nidle-time=0\n[shell]\nbackground-color=0xff000000\npanel-position=none\n' >"$RUN_DIR/weston.ini"
TAVRIN_WESTON_INPUT=$RUN_DIR/input weston --backend=headless-backend.so --use-pixman --width=1024 --height=768 \
    --socket="$WAYLAND_DISPLAY" --debug --config="$RUN_DIR/weston.ini" --modules="$PWD/$module" \
    --log="$out/weston.log" >/dev/null 2>&1 &
WESTON_PID=$!

# The screen into $out/$1.png.
picture() {
    local shot
    rm -f "$RUN_DIR"/wayland-screenshot-*.png
    (cd "$RUN_DIR" && timeout 10 weston-screenshooter >/dev/null 2>&1)
    shot=$(ls "$RUN_DIR"/wayland-screenshot-*.png 2>/dev/null | head -1)
    [ -n "$shot" ] && mv "$shot" "$out/$1.png"
}

# The screen into $out/$1.png, what it says into $out/$1.txt (one line).
shoot() {
    picture "$1" || return 1
    convert "$out/$1.png" -trim +repage -resize 200% -colorspace Gray "$out/$1-ocr.png" 2>/dev/null
    tesseract "$out/$1-ocr.png" "$out/$1" >/dev/null 2>&1
    tr '\n' ' ' <"$out/$1.txt" | tr -s ' '
}

# Waits (deadline $3 s) until the screen says $2 and, if $4 is given, no
# longer says $4; picture $1.
SAID=""
screen_says() {  # picture, text, deadline, text that must be gone
    local t end=$(( SECONDS + $3 ))
    while [ "$SECONDS" -le "$end" ]; do
        SAID=$(shoot "$1")
        if [[ "$SAID" == *"$2"* ]] && { [ -z "${4:-}" ] || [[ "$SAID" != *"$4"* ]]; }; then return 0; fi
        [ -n "$APP_PID" ] && ! kill -0 "$APP_PID" 2>/dev/null && fail "tavrin ended while waiting for \"$2\""
        sleep 0.3
    done
    fail "the screen does not say \"$2\"${4:+ without \"$4\"} after ${3}s; it says: $SAID"
}

# Waits (deadline $2 s) for an open menu: the toolkit's highlight of the
# chosen title and item, a colour nothing else on the screen has; picture $1.
menu_shown() {  # picture, deadline
    local lit end=$(( SECONDS + $2 ))
    while [ "$SECONDS" -le "$end" ]; do
        if picture "$1"; then
            lit=$(convert "$out/$1.png" -alpha off -fuzz 5% -fill black +opaque 'srgb(48,140,198)' \
                  -fill white -opaque 'srgb(48,140,198)' -colorspace Gray -format '%[fx:round(mean*w*h)]' info:)
            [ "${lit:-0}" -gt 1000 ] && return 0
        fi
        sleep 0.3
    done
    fail "no menu opened within ${2}s (see $out/$1.png)"
}

# One key or chord (evdev codes), as a person presses it.
KEY_ENTER=28 KEY_TAB=15 KEY_SPACE=57 KEY_ALT=56 KEY_F=33 KEY_X=45
press() { echo "key $1" >"$RUN_DIR/input"; }

for _ in $(seq 100); do
    [ -S "$RUN_DIR/$WAYLAND_DISPLAY" ] && shoot weston >/dev/null && break
    kill -0 "$WESTON_PID" 2>/dev/null || break
    sleep 0.1
done
[ -e "$out/weston.png" ] || fail "Weston did not come (see $out/weston.log)"

echo "-- weston: one test by keyboard (QT_QPA_PLATFORM=wayland, TAVRIN_MIDI=cable)"
QT_QPA_PLATFORM=wayland TAVRIN_MIDI=cable "$bin" >"$out/tavrin.log" 2>&1 &
APP_PID=$!
screen_says warning "must quit any MIDI applications" 30
press $KEY_ENTER
# The main window, painted and alone: Weston gives the new window the keyboard.
screen_says main "To use this test, connect" 20 "must quit"
press $KEY_TAB
press $KEY_SPACE
screen_says verdict "The test was successful." 20
press $KEY_ENTER
screen_says main-again "To use this test, connect" 20 "The test was successful."

# A second tavrin: Wayland lets no program raise another's window (Weston
# offers no activation protocol), so it says so in its own box alone.
QT_QPA_PLATFORM=wayland "$bin" >"$out/second.log" 2>&1 &
SECOND_PID=$!
screen_says second "Only a single instance of this application can run" 30
press $KEY_ENTER
expect_exit_0 "$SECOND_PID" "the second tavrin, after its box,"
SECOND_PID=""
kill -0 "$APP_PID" 2>/dev/null || fail "the first tavrin ended with the second"
screen_says after-second "To use this test, connect" 20 "Only a single instance"

press $KEY_ALT+$KEY_F
menu_shown menu 20
press $KEY_X
screen_says caution "disconnect the MIDI output cable" 20
press $KEY_ENTER
expect_exit_0 "$APP_PID" "tavrin, after File > Exit,"
APP_PID=""
echo "weston: all runs passed; pictures in $out"
