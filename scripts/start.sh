#!/usr/bin/env bash
# Builds Tavrin and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "Tavrin has no desktop backend yet, so there is nothing to show: the program" >&2
echo "runs only inside the test suite for now (scripts/test.sh)." >&2
exit 1
