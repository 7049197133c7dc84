#!/usr/bin/env bash
# MIDI over a real JACK server (dummy driver, no sound hardware): the engine's
# port backend end to end.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_ENGINE_TEST_PACKAGES[@]}" || exit 1
source scripts/test.d/lib/jack.sh

for preset in debug tsan; do
    cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j2 --target engine_check jack_faults_test winmm_loop >/dev/null || {
        echo "engines-jack: build ($preset) failed" >&2; exit 1; }
done
bin=build/debug/tests/engines
tsan_bin=build/tsan/tests/engines
export TSAN_OPTIONS="suppressions=$PWD/tests/engines/tsan.supp halt_on_error=1"
tsan=(setarch "$(uname -m)" -R)

trap jack_stop EXIT
failed=0
jack_start 256 || exit 1
timeout 120 "$bin/engine_check" jack || failed=1
# Through the WinMM functions; unset TAVRIN_MIDI picks the running server.
(unset TAVRIN_MIDI; timeout 60 "$bin/winmm_loop" --through through:) || failed=1
# No cable: the 2 s time-out, then every take-back succeeds.
TAVRIN_MIDI=jack timeout 60 "$bin/winmm_loop" --through-muted through: || failed=1
# The server dies during the run: the same, and nothing hangs.
TAVRIN_MIDI=jack timeout 60 "$bin/winmm_loop" --through-muted --kill-jack "$JACK_PID" through: || failed=1
jack_stop
jack_start 256 || exit 1
jack_stop
# Under the sanitizer the process callback may run late; a synchronous server
# waits for it instead of replaying its previous buffer.
jack_start 256 -S || exit 1
timeout 120 "${tsan[@]}" "$tsan_bin/engine_check" jack || failed=1
(unset TAVRIN_MIDI; timeout 60 "${tsan[@]}" "$tsan_bin/winmm_loop" --through through:) || failed=1
jack_stop

# Whole runs of the program through its own code, once they are built.
if cmake --build --preset debug -j2 --target loop_driver >/dev/null 2>&1; then
    run_driver() {  # expected verdict, driver options...
        local expect=$1; shift
        echo "-- loop_driver $*"
        timeout 120 "$bin/loop_driver" --expect "$expect" "$@"
        local rc=$?
        [ "$rc" -eq 0 ] || failed=1
        return "$rc"
    }
    jack_start 256 || exit 1
    # auto: no ALSA sequencer here, so the running JACK server is chosen.
    (unset TAVRIN_MIDI; run_driver "The test was successful." --through) || failed=1
    TAVRIN_MIDI=jack run_driver "Midi loopback timeout, check cable!" --through-muted
    TAVRIN_MIDI=jack run_driver "Midi loopback timeout, check cable!" --through-muted --kill-jack "$JACK_PID"
    jack_stop
else
    echo "engines-jack: no program library yet; whole-program runs skipped"
fi

# Faults of the server itself: each test starts and kills a private server.
timeout 300 "$bin/jack_faults_test" || failed=1
timeout 300 "${tsan[@]}" "$tsan_bin/jack_faults_test" \
    --gtest_filter='-*Flood*' || failed=1

[ "$failed" -eq 0 ] && echo "engines-jack: passed" || echo "engines-jack: FAILED"
exit "$failed"
