# Starts and stops a JACK server on the dummy driver for one suite; sourced.
#   jack_start PERIOD [SERVER OPTION...]
#                       starts a server whose period is PERIOD frames at
#                       48 kHz and waits, with a deadline, until a JACK client
#                       can connect to it; the server's pid is in JACK_PID.
#   jack_stop           stops exactly the server that jack_start started.
#
# TAVRIN_TEST_JACK_LIB chooses the JACK:
#   jackd2 (default)    `jackd --no-realtime [SERVER OPTION...] -d dummy`;
#                       programs use the system's libjack. The server name is
#                       private to Tavrin's tests, so a user's server is never
#                       touched; JACK_DEFAULT_SERVER is exported for the
#                       programs under test.
#   pipewire            a private `pipewire` daemon with its default
#                       configuration (its Dummy-Driver runs JACK clients) in
#                       a runtime folder of its own (XDG_RUNTIME_DIR), the
#                       quantum forced to PERIOD; programs get PipeWire's
#                       libjack through LD_LIBRARY_PATH, as pw-jack does.
#                       SERVER OPTIONs are jackd's and ignored. jack_stop
#                       puts back XDG_RUNTIME_DIR and LD_LIBRARY_PATH.
# tests/engines/jack_server.h reads the same variable.

# PipeWire's libjack, where pipewire-jack puts it.
jack_pipewire_libdir() {
    local d
    for d in /usr/lib/*/pipewire-0.3/jack /usr/lib/pipewire-0.3/jack; do
        [ -e "$d/libjack.so.0" ] && { echo "$d"; return 0; }
    done
    return 1
}

# Waits until a JACK client can connect (jack_wait -c prints "running").
jack_wait_running() {  # what (for messages) log
    local what=$1 log=$2 deadline=$((SECONDS + 30))
    while [ $SECONDS -lt $deadline ]; do
        if ! kill -0 "$JACK_PID" 2>/dev/null; then
            echo "jack: $what exited before it ran:" >&2; cat "$log" >&2
            JACK_PID=""; return 1
        fi
        [ "$(timeout 5 jack_wait ${JACK_DEFAULT_SERVER:+-s "$JACK_DEFAULT_SERVER"} -c 2>/dev/null)" = running ] && return 0
        sleep 0.1
    done
    echo "jack: $what did not answer jack_wait -c within 30 s:" >&2; cat "$log" >&2
    jack_stop
    return 1
}

jack_start() {
    local period=${1:-256}
    shift
    JACK_LOG=$(mktemp /tmp/tavrin-jackd.XXXXXX)
    if [ "${TAVRIN_TEST_JACK_LIB:-jackd2}" = pipewire ]; then
        jack_start_pipewire "$period"
        return
    fi
    # A fixed name: JACK's shared table of servers reuses an entry only for
    # the same name. TAVRIN_TEST_JACK_TAG keeps apart the servers of test runs
    # in several work trees of one machine.
    export JACK_DEFAULT_SERVER="tavrin-test-suite${TAVRIN_TEST_JACK_TAG:+-$TAVRIN_TEST_JACK_TAG}"
    export JACK_NO_AUDIO_RESERVATION=1  # no D-Bus on a CI machine
    jackd --no-realtime -n "$JACK_DEFAULT_SERVER" "$@" -d dummy -r 48000 -p "$period" >"$JACK_LOG" 2>&1 &
    JACK_PID=$!
    jack_wait_running jackd "$JACK_LOG"
}

jack_start_pipewire() {  # period
    local period=$1 libdir deadline
    libdir=$(jack_pipewire_libdir) || {
        echo "jack: PipeWire's libjack is not installed (pipewire-jack)" >&2; return 1; }
    JACK_PW_DIR=$(mktemp -d /tmp/tavrin-pipewire.XXXXXX)
    chmod 700 "$JACK_PW_DIR"
    JACK_SAVED_ENV=("${XDG_RUNTIME_DIR-}" "${LD_LIBRARY_PATH-}" "${JACK_DEFAULT_SERVER-}")
    export XDG_RUNTIME_DIR=$JACK_PW_DIR
    export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    unset JACK_DEFAULT_SERVER PIPEWIRE_REMOTE
    # No D-Bus, no session manager, no real-time kit here: what the default
    # configuration loads of those fails softly. pipewire itself must not run
    # on PipeWire's libjack.
    LD_LIBRARY_PATH=${JACK_SAVED_ENV[1]} pipewire >"$JACK_LOG" 2>&1 &
    JACK_PID=$!
    deadline=$((SECONDS + 30))
    until LD_LIBRARY_PATH=${JACK_SAVED_ENV[1]} timeout 5 pw-metadata -n settings 0 clock.force-quantum "$period" >/dev/null 2>&1; do
        if ! kill -0 "$JACK_PID" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
            echo "jack: pipewire did not take the quantum $period within 30 s:" >&2; cat "$JACK_LOG" >&2
            jack_stop
            return 1
        fi
        sleep 0.1
    done
    LD_LIBRARY_PATH=${JACK_SAVED_ENV[1]} timeout 5 pw-metadata -n settings 0 clock.force-rate 48000 >/dev/null 2>&1
    jack_wait_running pipewire "$JACK_LOG"
}

jack_stop() {
    if [ -n "${JACK_PID:-}" ]; then
        kill "$JACK_PID" 2>/dev/null
        local deadline=$((SECONDS + 10))
        while kill -0 "$JACK_PID" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.05; done
        kill -0 "$JACK_PID" 2>/dev/null && kill -9 "$JACK_PID" 2>/dev/null
        wait "$JACK_PID" 2>/dev/null
        JACK_PID=""
    fi
    rm -f "${JACK_LOG:-}"
    if [ -n "${JACK_PW_DIR:-}" ]; then
        rm -rf "$JACK_PW_DIR"
        JACK_PW_DIR=""
        jack_restore_env XDG_RUNTIME_DIR "${JACK_SAVED_ENV[0]}"
        jack_restore_env LD_LIBRARY_PATH "${JACK_SAVED_ENV[1]}"
        jack_restore_env JACK_DEFAULT_SERVER "${JACK_SAVED_ENV[2]}"
    fi
    return 0
}

jack_restore_env() {  # name saved-value (empty: unset)
    if [ -n "$2" ]; then export "$1=$2"; else unset "$1"; fi
}

# The tests' through client (tests/engines/jack_through_client) for a script:
#   jack_through_start BIN NAME CLI LOG [MODE]
#                       starts it as NAME and waits, with a deadline, until
#                       CLI (tavrin-cli) lists its ports; its pid is in
#                       JACK_THROUGH_PID
#   jack_through_stop   ends exactly that client
JACK_THROUGH_PID=""
jack_through_start() {
    local bin=$1 name=$2 cli=$3 log=$4 mode=${5:-} until=$((SECONDS + 20))
    "$bin" "$name" $mode >"$log" 2>&1 &
    JACK_THROUGH_PID=$!
    until TAVRIN_MIDI=jack "$cli" ports 2>/dev/null | grep -qF "$name:out"; do
        kill -0 "$JACK_THROUGH_PID" 2>/dev/null || { echo "jack: the through client ended:" >&2; cat "$log" >&2; return 1; }
        [ $SECONDS -lt $until ] || { echo "jack: the through client's ports never came" >&2; return 1; }
        sleep 0.1
    done
}

jack_through_stop() {
    [ -n "$JACK_THROUGH_PID" ] || return 0
    kill "$JACK_THROUGH_PID" 2>/dev/null; wait "$JACK_THROUGH_PID" 2>/dev/null; JACK_THROUGH_PID=""
}
