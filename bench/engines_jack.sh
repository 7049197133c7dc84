#!/usr/bin/env bash
# Runs bench/engines_jack against a private JACK dummy server at period 64
# and 256, from the release build. TAVRIN_TEST_JACK_LIB=pipewire runs it on
# a private PipeWire daemon through PipeWire's libjack instead of jackd2.
#
# jackd runs synchronously (-S): in its default mode it drops the cycle of a
# client that is late on a busy machine (an xrun), and a MIDI message with
# it, for the bare client as for Tavrin. Both measure the same path either way.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
jack_packages=(jackd2)
[ "${TAVRIN_TEST_JACK_LIB:-jackd2}" = pipewire ] && jack_packages+=("${TAVRIN_PIPEWIRE_PACKAGES[@]}")
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${jack_packages[@]}" || exit 1
source scripts/test.d/lib/jack.sh
cmake --preset release >/dev/null && cmake --build --preset release -j2 --target engines_jack >/dev/null || exit 1
trap jack_stop EXIT
for period in 64 256; do
    jack_start "$period" -S || exit 1
    build/release/bench/engines_jack || exit 1
    jack_stop
done
