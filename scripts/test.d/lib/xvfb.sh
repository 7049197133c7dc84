# A private Xvfb display for a suite or a benchmark. Source it, then
#   xvfb_start [LOG]   starts a server on a display number it picks itself,
#                      waits until it answers; sets DISPLAY and XVFB_PID
#   xvfb_stop          ends the server it started
# The server picks its own free number (-displayfd), so runs side by side
# never share or steal one.

XVFB_PID=""

xvfb_start() {
    local log=${1:-/dev/null} fifo n="" t
    fifo=$(mktemp -u /tmp/xvfb-fd.XXXXXX) && mkfifo -m 600 "$fifo" || return 1
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$fifo" >"$log" 2>&1 &
    XVFB_PID=$!
    # The server writes its number once it takes connections; 10 s at most.
    exec 4<"$fifo"
    read -r -t 10 n <&4
    exec 4<&-
    rm -f "$fifo"
    if [ -z "$n" ] || ! kill -0 "$XVFB_PID" 2>/dev/null; then
        echo "xvfb: the Xvfb server did not come (see $log)" >&2
        xvfb_stop
        return 1
    fi
    export DISPLAY=":$n"
    unset WAYLAND_DISPLAY
    for t in $(seq 50); do
        xdpyinfo >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "xvfb: the Xvfb display $DISPLAY does not answer" >&2
    return 1
}

xvfb_stop() {
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=""
}
