#!/usr/bin/env bash
# The whole program when the engine fails it or floods it mid-test, on a JACK
# dummy server and on the kernel's ALSA sequencer under qemu: the peer port
# taken away (JACK: the through client's ports unregistered; ALSA: the
# sequencer client that provides it exits), the JACK server killed, a
# megabyte of SysEx without F7, 100,000 short messages. Each run must give
# the right verdict (or none, after Cancel), never hang, and exit 0 after
# File > Exit.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_ENGINE_TEST_PACKAGES[@]}" || exit 1
source scripts/test.d/lib/jack.sh
cmake --preset debug >/dev/null && cmake --build --preset debug -j2 --target loop_driver >/dev/null || {
    echo "engines-death: build failed" >&2; exit 1; }
bin=build/debug/tests/engines
timeout_text="Midi loopback timeout, check cable!"
failed=0
run_driver() {  # driver options...
    echo "-- loop_driver $*"
    TAVRIN_MIDI=jack timeout 120 "$bin/loop_driver" "$@" || failed=1
}

trap jack_stop EXIT
jack_start 256 || exit 1
run_driver --through-muted --unplug-through --expect "$timeout_text"
run_driver --through-muted --unplug-through --cancel
run_driver --through-muted --sysex-without-end --expect "$(printf 'Midi loopback failure!\nByte: 0x1')"
run_driver --through-muted --flood --expect "$timeout_text"
run_driver --through --flood --expect "The test was successful."
run_driver --through-muted --kill-jack "$JACK_PID" --cancel
jack_stop

# The same through a sequencer client of the test's own inside the guest.
alsa_driver() {  # driver options...
    echo "-- qemu: loop_driver $*"
    bash scripts/test.d/lib/qemu-alsa.sh --timeout 300 "$bin/loop_driver" --alsa-through-muted "$@" || failed=1
}
alsa_driver --unplug-through --expect "$timeout_text"
alsa_driver --unplug-through --cancel
alsa_driver --sysex-without-end --expect "$(printf 'Midi loopback failure!\nByte: 0x1')"
alsa_driver --flood --expect "$timeout_text"

[ "$failed" -eq 0 ] && echo "engines-death: passed" || echo "engines-death: FAILED"
exit "$failed"
