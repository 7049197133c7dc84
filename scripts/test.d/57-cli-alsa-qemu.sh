#!/usr/bin/env bash
# tavrin-cli over the real kernel ALSA sequencer's "Midi Through" port, in a
# Debian kernel booted under qemu: every pattern 100 times, and the wiring map.
# One boot per command (the guest runs one program).
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_ENGINE_TEST_PACKAGES[@]}" || exit 1

cmake --preset debug >/dev/null && cmake --build --preset debug -j2 --target tavrin-cli >/dev/null || {
    echo "cli-alsa-qemu: build failed" >&2; exit 1; }
cli=build/debug/cli/tavrin-cli
if ldd "$cli" | grep -Ei 'libQt|libX11|libxcb'; then
    echo "cli-alsa-qemu: tavrin-cli links display libraries" >&2; exit 1
fi

failed=0
t0=$SECONDS
port="Midi Through Port-0"
for p in standard sysex:4096 notes realtime mixed; do
    # The guest's serial console is a terminal: the summary ends with the histogram.
    bash scripts/test.d/lib/qemu-alsa.sh --timeout 600 \
        --expect '^runs 100, successes 100, failures 0, time-outs 0$' \
        "$cli" test --in "$port" --out "midi through port-0" --count 100 --pattern "$p" --quiet \
        | grep -v '^  |  *[0-9.]* - ' || { echo "cli-alsa-qemu: FAIL: $p" >&2; failed=1; }
done
bash scripts/test.d/lib/qemu-alsa.sh --timeout 300 \
    --expect "^  [0-9]+ $port -> input [0-9]+ $port\$" "$cli" wiring || {
    echo "cli-alsa-qemu: FAIL: wiring did not find the loop" >&2; failed=1; }

echo "cli-alsa-qemu: $((SECONDS - t0)) s"
[ "$failed" -eq 0 ] && echo "cli-alsa-qemu: passed" || echo "cli-alsa-qemu: FAILED"
exit "$failed"
