# Wine for the Windows build's suites: the one place that prepares a prefix.
# Source it, then
#
#   wine_env PREFIX      exports the environment every Wine run here uses
#   wine_prefix          makes $WINEPREFIX once (kept between runs: making one
#                        takes a minute or more), with Wine's own fonts
#   wine_guest_prefix DIR   makes build/windows/wine-prefix on this machine
#                        (on an Xvfb display of its own; lib/xvfb.sh sourced)
#                        and copies it to DIR/prefix, for a qemu guest
#
# Debian's launcher `wine` starts the 64-bit loader that wine64 installs.
# fonts-wine holds Wine's own faces, among them an "MS Sans Serif" with the
# metrics dialog templates are laid out for; without them Wine draws dialog
# text in a wider desktop face, and rows that fit their controls on Windows
# lose their last word.
WINE_PACKAGES=(wine wine64 fonts-wine)
# What a suite needs to build the Windows programs and drive tavrin.exe's
# window under Xvfb in a guest, reading it by OCR.
WINE_DESKTOP_PACKAGES=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 "${WINE_PACKAGES[@]}"
    xvfb xdotool imagemagick tesseract-ocr tesseract-ocr-eng x11-utils)

wine_env() {
    export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

wine_prefix() {
    local t0=$SECONDS
    # A prefix whose making was cut short is made again.
    if [ ! -e "$WINEPREFIX/.tavrin-ready" ]; then
        rm -rf "$WINEPREFIX"
        wine wineboot --init >/dev/null 2>&1 || { echo "wine: wineboot failed" >&2; return 1; }
        # wineboot returns before the prefix's services have finished; the
        # server ends once they have.
        timeout 600 wineserver -w || { echo "wine: the Wine prefix was not ready within 600 s" >&2; return 1; }
        touch "$WINEPREFIX/.tavrin-ready"
        echo "wine: new Wine prefix in $((SECONDS - t0)) s"
    fi
    wine_fonts
}

# A qemu guest makes a prefix in ten minutes, this machine in one. The copy's
# files are hard links, its registry real copies, since Wine writes those.
wine_guest_prefix() {
    local made
    wine_env "$PWD/build/windows/wine-prefix"
    xvfb_start || { echo "wine: no display to make the Wine prefix on" >&2; return 1; }
    wine_prefix; made=$?
    timeout 30 wineserver -k 2>/dev/null; timeout 30 wineserver -w 2>/dev/null
    xvfb_stop
    [ "$made" -eq 0 ] || return 1
    cp -al "$WINEPREFIX" "$1/prefix" || { echo "wine: cannot copy the Wine prefix to $1" >&2; return 1; }
    for reg in "$WINEPREFIX"/*.reg; do rm "$1/prefix/$(basename "$reg")"; cp "$reg" "$1/prefix/"; done
}

# Debian's Wine 8 looks for its own faces beside /usr/share/wine, not in it,
# and so never loads them; a prefix's C:\windows\Fonts is read at every start.
wine_fonts() {
    local fonts=$WINEPREFIX/drive_c/windows/Fonts
    [ -e /usr/share/wine/fonts/ms_sans_serif.ttf ] || { echo "wine: Wine's own fonts (fonts-wine) are not installed" >&2; return 1; }
    mkdir -p "$fonts" && cp -u /usr/share/wine/fonts/* "$fonts/" ||
        { echo "wine: cannot copy Wine's fonts into $fonts" >&2; return 1; }
}

# Windows of Wine programs on the X display, for the suites that drive them.
# Each returns non-zero when what it waits for does not come; the caller
# names it in its failure.

# Waits up to $3 s for a visible window titled exactly $1 that is not among
# the ids in $2, while process $4 lives (when given); echoes its id.
wine_wait_window() {
    local title=$1 except=$2 until=$((SECONDS + $3)) pid=${4:-} id
    while [ "$SECONDS" -lt "$until" ]; do
        for id in $(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null); do
            [[ " $except " == *" $id "* ]] || { echo "$id"; return 0; }
        done
        [ -z "$pid" ] || kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.2
    done
    return 1
}

# Waits up to $2 s until window $1 is no longer visible.
wine_wait_gone() {
    local until=$((SECONDS + $2))
    while xdotool search --onlyvisible --name '' 2>/dev/null | grep -qx "$1"; do
        [ "$SECONDS" -lt "$until" ] || return 1
        sleep 0.2
    done
}

# Clicks, once, the OK button of box $1: centred, its middle $2 pixels (22
# in a message box) above the box's foot. Needs no keyboard focus, which no
# window manager gives a new box here, and which moving by hand takes from
# the window that Wine keeps active.
wine_click_ok() {
    local X Y WIDTH HEIGHT
    eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null)" || return 1
    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - ${2:-22})) click 1
}
