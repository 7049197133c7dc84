#!/usr/bin/env bash
# Builds Tavrin and runs the whole test suite: the debug preset (AddressSanitizer
# and UndefinedBehaviorSanitizer) and the ThreadSanitizer preset.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}"

jobs=$(nproc)
status=0
for preset in debug tsan; do
    echo "== $preset: build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$jobs"
    echo "== $preset: tests"
    # ThreadSanitizer needs a fixed address layout on some kernels.
    runner=()
    [ "$preset" = tsan ] && command -v setarch >/dev/null && runner=(setarch "$(uname -m)" -R)
    "${runner[@]}" ctest --preset "$preset" -j"$jobs" || status=1
done
exit $status
