#!/usr/bin/env bash
# Runs bench/engines_jack against a private JACK dummy server at period 64
# and 256, from the release build.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" jackd2 || exit 1
source scripts/test.d/lib/jack.sh
cmake --preset release >/dev/null && cmake --build --preset release -j2 --target engines_jack >/dev/null || exit 1
trap jack_stop EXIT
for period in 64 256; do
    jack_start "$period" || exit 1
    build/release/bench/engines_jack || exit 1
    jack_stop
done
