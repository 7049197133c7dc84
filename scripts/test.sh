#!/usr/bin/env bash
# Builds Tavrin and runs the whole test suite: the unit and behaviour tests
# under the debug preset (AddressSanitizer and UndefinedBehaviorSanitizer) and
# the ThreadSanitizer preset, then every further suite in scripts/test.d/ (in
# name order), each a script that installs what it needs and exits non-zero
# on a failure.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
# Qt comes first too: without it the debug build leaves out the desktop backend and its tests.
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_DESKTOP_PACKAGES[@]}" || exit 1
# The qemu suites share this folder with their guest: say at once if they cannot.
(source scripts/test.d/lib/qemu-guest.sh && guest_folder_ok) || exit 1

jobs=$(nproc)
passed=0
failed=0
failed_names=()
record() {  # name status
    if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); failed_names+=("$1"); fi
}

for preset in debug tsan; do
    echo "== $preset: build"
    if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j"$jobs"; then
        echo "== $preset: tests"
        # ThreadSanitizer wants a fixed address layout on some kernels.
        runner=()
        [ "$preset" = tsan ] && command -v setarch >/dev/null && runner=(setarch "$(uname -m)" -R)
        "${runner[@]}" ctest --preset "$preset" -j"$jobs"
        status=$?
        record "ctest $preset" "$status"
    else
        record "build $preset" 1
    fi
done

for suite in scripts/test.d/*.sh; do
    [ -e "$suite" ] || continue
    echo "== $(basename "$suite" .sh)"
    bash "$suite"
    status=$?
    record "$(basename "$suite" .sh)" "$status"
done

[ "$failed" -eq 0 ] || echo "failed suites: ${failed_names[*]}"
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
