#!/usr/bin/env bash
# MIDI over a real JACK server (dummy driver, no sound hardware): the engine's
# port backend end to end, on jackd2 and again on PipeWire through PipeWire's
# own libjack (scripts/test.d/lib/jack.sh).
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_ENGINE_TEST_PACKAGES[@]}" \
    "${TAVRIN_PIPEWIRE_PACKAGES[@]}" || exit 1
source scripts/test.d/lib/jack.sh

for preset in debug tsan; do
    cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j2 --target engine_check jack_faults_test jack_races_test winmm_loop >/dev/null || {
        echo "engines-jack: build ($preset) failed" >&2; exit 1; }
done
bin=build/debug/tests/engines
tsan_bin=build/tsan/tests/engines
export TSAN_OPTIONS="suppressions=$PWD/tests/engines/tsan.supp halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/engines/lsan-pipewire.supp print_suppressions=0"
tsan=(setarch "$(uname -m)" -R)
have_driver=0
if cmake --build --preset debug -j2 --target loop_driver >/dev/null 2>&1; then
    have_driver=1
else
    echo "engines-jack: no program library yet; whole-program runs skipped"
fi

trap jack_stop EXIT
failed=0

# Loops, a cable that is not plugged in, a server that dies, whole runs of the
# program, and the server's faults, on the JACK that TAVRIN_TEST_JACK_LIB names.
# jackd runs synchronously (-S): in its default mode it drops the cycle of a
# client that is late (an xrun) on a busy machine, and the bytes of that cycle
# with it. PipeWire has no such option and ignores it.
run_engine_checks() {
    local lib=$1
    echo "-- on $lib"
    jack_start 256 -S || return 1
    timeout 120 "$bin/engine_check" jack || failed=1
    # Through the WinMM functions; unset TAVRIN_MIDI picks the running server.
    (unset TAVRIN_MIDI; timeout 60 "$bin/winmm_loop" --through through:) || failed=1
    # No cable: the 2 s time-out, then every take-back succeeds.
    TAVRIN_MIDI=jack timeout 60 "$bin/winmm_loop" --through-muted through: || failed=1
    # The server dies during the run: the same, and nothing hangs.
    TAVRIN_MIDI=jack timeout 60 "$bin/winmm_loop" --through-muted --kill-jack "$JACK_PID" through: || failed=1
    jack_stop

    # Whole runs of the program through its own code: every port change and
    # the end close ports, which hung on PipeWire's libjack.
    if [ "$have_driver" -eq 1 ]; then
        run_driver() {  # expected verdict, driver options...
            local expect=$1; shift
            echo "-- loop_driver $*"
            timeout 120 "$bin/loop_driver" --expect "$expect" "$@"
            local rc=$?
            [ "$rc" -eq 0 ] || failed=1
            return "$rc"
        }
        jack_start 256 -S || return 1
        # auto: no ALSA sequencer here, so the running JACK server is chosen.
        (unset TAVRIN_MIDI; run_driver "The test was successful." --through) || failed=1
        TAVRIN_MIDI=jack run_driver "Midi loopback timeout, check cable!" --through-muted
        TAVRIN_MIDI=jack run_driver "Midi loopback timeout, check cable!" --through-muted --kill-jack "$JACK_PID"
        jack_stop
    fi

    # Faults of the server itself, and the engine's races under the thread
    # sanitizer: each suite starts and kills private servers.
    local libpath=${LD_LIBRARY_PATH-}
    [ "$lib" = pipewire ] && libpath="$(jack_pipewire_libdir)${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    LD_LIBRARY_PATH=$libpath timeout 300 "$bin/jack_faults_test" || failed=1
    LD_LIBRARY_PATH=$libpath timeout 300 "${tsan[@]}" "$tsan_bin/jack_races_test" || failed=1
}

export TAVRIN_TEST_JACK_LIB=jackd2
run_engine_checks jackd2 || failed=1
# Under the sanitizer the process callback runs late all the more.
jack_start 256 -S || exit 1
timeout 120 "${tsan[@]}" "$tsan_bin/engine_check" jack || failed=1
(unset TAVRIN_MIDI; timeout 60 "${tsan[@]}" "$tsan_bin/winmm_loop" --through through:) || failed=1
jack_stop
timeout 300 "${tsan[@]}" "$tsan_bin/jack_faults_test" \
    --gtest_filter='-*Flood*' || failed=1

export TAVRIN_TEST_JACK_LIB=pipewire
run_engine_checks pipewire || failed=1

[ "$failed" -eq 0 ] && echo "engines-jack: passed" || echo "engines-jack: FAILED"
exit "$failed"
