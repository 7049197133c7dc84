#!/usr/bin/env bash
# Runs bench/desktop_qt from the release build under a private Xvfb display:
# Tavrin beside a minimal Qt Widgets window, start-up, memory and idle cost.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_DESKTOP_PACKAGES[@]}" xvfb x11-utils || exit 1
cmake --preset release >/dev/null &&
    cmake --build --preset release -j2 --target desktop_qt tavrin_probed qt_minimal >/dev/null || exit 1

source scripts/test.d/lib/xvfb.sh
trap xvfb_stop EXIT
xvfb_start || exit 1
build/release/bench/desktop_qt build/release/bench/tavrin_probed build/release/bench/qt_minimal
