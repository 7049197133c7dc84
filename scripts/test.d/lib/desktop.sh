# What the desktop suites share. Source it; the suite defines fail().
#   desktop_build NAME       the release build of tavrin; ends the suite with 0
#                            (skipped) when this build has no such program
#   stop_process PID         asks it to end (SIGTERM), after 10 s ends it outright
#   expect_exit_0 PID WHAT   PID ends within 10 s (times $slow) with status 0

desktop_build() {
    local targets
    cmake --preset release >/dev/null || fail "configure failed"
    # The list is read whole first: grep -q would end the pipe early under pipefail.
    targets=$(cmake --build build/release --target help 2>/dev/null)
    if ! grep -qx '\.\.\. tavrin' <<<"$targets"; then
        echo "$1: the program tavrin is not part of this build yet (no program library or no Qt); suite skipped"
        exit 0
    fi
    cmake --build build/release -j2 --target tavrin >/dev/null || fail "build of tavrin failed"
}

stop_process() {
    local t
    [ -n "$1" ] && kill "$1" 2>/dev/null || return 0
    for t in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

expect_exit_0() {
    local t rc
    for t in $(seq $(( 100 * ${slow:-1} ))); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$1" 2>/dev/null && fail "$2 did not end"
    wait "$1"; rc=$?
    [ "$rc" -eq 0 ] || fail "$2 ended with $rc, not 0"
}
