# A private Xvfb display for a suite or a benchmark. Source it, then
#   xvfb_start [LOG]   picks a free display, starts the server, polls until it
#                      answers; sets DISPLAY and XVFB_PID
#   xvfb_stop          ends the server it started

XVFB_PID=""

xvfb_start() {
    local log=${1:-/dev/null} n disp=""
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { disp=":$n"; break; }
    done
    [ -n "$disp" ] || { echo "xvfb: no free display number in :90-:140" >&2; return 1; }
    Xvfb "$disp" -screen 0 1280x800x24 -nolisten tcp >"$log" 2>&1 &
    XVFB_PID=$!
    export DISPLAY=$disp
    unset WAYLAND_DISPLAY
    for _ in $(seq 100); do
        kill -0 "$XVFB_PID" 2>/dev/null || break  # lost the display number to another server
        xdpyinfo >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "xvfb: the Xvfb display $disp did not come" >&2
    return 1
}

xvfb_stop() {
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=""
}
