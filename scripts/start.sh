#!/usr/bin/env bash
# Builds Tavrin (release) and starts it on this desktop.
# TAVRIN_MIDI=cable runs it on the built-in virtual loop cable.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "Tavrin is a desktop program and needs a desktop session (neither DISPLAY nor" >&2
    echo "WAYLAND_DISPLAY is set). To try it without one, under a virtual X server:" >&2
    echo "  apt-get install -y xvfb && TAVRIN_MIDI=cable xvfb-run -a scripts/start.sh" >&2
    echo "(the window is then invisible; take a picture with: import -window root shot.png)" >&2
    exit 1
fi

tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_DESKTOP_PACKAGES[@]}"
cmake --preset release >/dev/null
# The list is read whole first: grep -q would end the pipe early under pipefail.
targets=$(cmake --build build/release --target help)
if ! grep -qx '\.\.\. tavrin' <<<"$targets"; then
    echo "This checkout cannot build the program tavrin yet (its program library or Qt 6 is missing)." >&2
    exit 1
fi
cmake --build build/release -j2 --target tavrin >/dev/null
exec build/release/tavrin "$@"
