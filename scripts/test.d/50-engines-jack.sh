#!/usr/bin/env bash
# MIDI over a real JACK server (dummy driver, no sound hardware): the engine's
# port backend end to end.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_ENGINE_TEST_PACKAGES[@]}" || exit 1
source scripts/test.d/lib/jack.sh

cmake --preset debug >/dev/null && cmake --build --preset debug -j2 --target engine_check >/dev/null || {
    echo "engines-jack: build failed" >&2; exit 1; }
bin=build/debug/tests/engines

trap jack_stop EXIT
failed=0
jack_start 256 || exit 1
timeout 120 "$bin/engine_check" jack || failed=1
jack_stop

[ "$failed" -eq 0 ] && echo "engines-jack: passed" || echo "engines-jack: FAILED"
exit "$failed"
