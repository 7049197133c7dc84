# A private Xvfb display for a suite or a benchmark. Source it, then
#   xvfb_start [LOG]   picks a free display, starts the server, polls until it
#                      answers; sets DISPLAY and XVFB_PID
#   xvfb_stop          ends the server it started

XVFB_PID=""

xvfb_start() {
    local log=${1:-/dev/null} n t first
    # Runs side by side (other work trees, other suites) start at different
    # numbers; a server that loses its number to another ends, and the next
    # number is tried.
    first=$(( 100 + (RANDOM % 800) ))
    for n in $(seq "$first" $(( first + 40 ))); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        # -noreset: by default the server starts itself over each time its
        # last client leaves, and a program that connects just then (the
        # next case's, a moment after the last one's ended) is refused.
        Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp -noreset >"$log" 2>&1 &
        XVFB_PID=$!
        export DISPLAY=":$n"
        unset WAYLAND_DISPLAY
        for t in $(seq 100); do
            kill -0 "$XVFB_PID" 2>/dev/null || break
            if xdpyinfo >/dev/null 2>&1; then
                sleep 0.2  # a server that lost its number ends at once; ours must stay
                kill -0 "$XVFB_PID" 2>/dev/null && return 0
                break
            fi
            sleep 0.1
        done
        xvfb_stop
    done
    echo "xvfb: no Xvfb display could be had (see $log)" >&2
    return 1
}

xvfb_stop() {
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=""
}
