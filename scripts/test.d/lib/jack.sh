# Starts and stops a JACK server on the dummy driver for one suite; sourced.
#   jack_start PERIOD [SERVER OPTION...]
#                       starts `jackd --no-realtime -d dummy -r 48000 -p PERIOD`
#                       (with the options before -d) and waits, with a
#                       deadline, until `jack_wait -c` says it runs; the
#                       server's pid is in JACK_PID.
#   jack_stop           stops exactly the server that jack_start started.
# The server name is private to Tavrin's tests so that a user's server is
# never touched; JACK_DEFAULT_SERVER is exported for the programs under test.

jack_start() {
    local period=${1:-256} deadline
    shift
    # A fixed name: JACK's shared table of servers reuses an entry only for
    # the same name. TAVRIN_TEST_JACK_TAG keeps apart the servers of test runs
    # in several work trees of one machine.
    export JACK_DEFAULT_SERVER="tavrin-test-suite${TAVRIN_TEST_JACK_TAG:+-$TAVRIN_TEST_JACK_TAG}"
    export JACK_NO_AUDIO_RESERVATION=1  # no D-Bus on a CI machine
    JACK_LOG=$(mktemp /tmp/tavrin-jackd.XXXXXX)
    jackd --no-realtime -n "$JACK_DEFAULT_SERVER" "$@" -d dummy -r 48000 -p "$period" >"$JACK_LOG" 2>&1 &
    JACK_PID=$!
    deadline=$((SECONDS + 30))
    while [ $SECONDS -lt $deadline ]; do
        if ! kill -0 "$JACK_PID" 2>/dev/null; then
            echo "jack: jackd exited before it ran:" >&2; cat "$JACK_LOG" >&2
            JACK_PID=""; return 1
        fi
        [ "$(timeout 5 jack_wait -s "$JACK_DEFAULT_SERVER" -c 2>/dev/null)" = running ] && return 0
        sleep 0.1
    done
    echo "jack: the server did not answer jack_wait -c within 30 s:" >&2; cat "$JACK_LOG" >&2
    jack_stop
    return 1
}

jack_stop() {
    [ -n "${JACK_PID:-}" ] || return 0
    kill "$JACK_PID" 2>/dev/null
    local deadline=$((SECONDS + 10))
    while kill -0 "$JACK_PID" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.05; done
    kill -0 "$JACK_PID" 2>/dev/null && kill -9 "$JACK_PID" 2>/dev/null
    wait "$JACK_PID" 2>/dev/null
    JACK_PID=""
    rm -f "${JACK_LOG:-}"
}
