#!/usr/bin/env bash
# MIDI over the real kernel ALSA sequencer, booted under qemu: this machine's
# own kernel has no sound support. Uses the guest's "Midi Through Port-0".
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_ENGINE_TEST_PACKAGES[@]}" || exit 1

cmake --preset debug >/dev/null && cmake --build --preset debug -j2 --target engine_check winmm_loop alsa_races >/dev/null || {
    echo "engines-alsa-qemu: build failed" >&2; exit 1; }
bin=build/debug/tests/engines

failed=0
# The guest has no display libraries: the headless programs must need none.
no_display_libs() {
    if ldd "$1" | grep -Ei 'libQt|libX11|libxcb'; then
        echo "engines-alsa-qemu: $1 links display libraries" >&2
        return 1
    fi
}
no_display_libs "$bin/engine_check" || failed=1
no_display_libs "$bin/winmm_loop" || failed=1
no_display_libs "$bin/alsa_races" || failed=1
bash scripts/test.d/lib/qemu-alsa.sh --expect 'engine_check alsa: ok' \
    "$bin/engine_check" alsa "Midi Through Port-0" || failed=1

# The engine's races: ports removed during a send and while opening, a send
# straight after an abort.
bash scripts/test.d/lib/qemu-alsa.sh --expect '^alsa_races: ok$' \
    "$bin/alsa_races" "Midi Through Port-0" || failed=1

# Through the WinMM functions; TAVRIN_MIDI is unset in the guest, so auto
# picks the sequencer.
bash scripts/test.d/lib/qemu-alsa.sh --expect '^winmm_loop: ok$' \
    "$bin/winmm_loop" "Midi Through Port-0" || failed=1

# A whole run of the program through its own code, once they are built: Test
# with input and output both on Midi Through.
if cmake --build --preset debug -j2 --target loop_driver >/dev/null 2>&1; then
    no_display_libs "$bin/loop_driver" || failed=1
    bash scripts/test.d/lib/qemu-alsa.sh --expect '^verdict: The test was successful\.$' \
        "$bin/loop_driver" --expect "The test was successful." || failed=1
else
    echo "engines-alsa-qemu: no program library yet; the whole-program run skipped"
fi

[ "$failed" -eq 0 ] && echo "engines-alsa-qemu: passed" || echo "engines-alsa-qemu: FAILED"
exit "$failed"
