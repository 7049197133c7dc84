#!/usr/bin/env bash
# Runs every libFuzzer target of fuzz/ for ten minutes (TAVRIN_FUZZ_SECONDS)
# from its seed corpus and prints executions, coverage (edges) and features.
# TAVRIN_FUZZ_ONLY="a b" runs only the named targets.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/test.d/lib/fuzz.sh
fuzz_build || { echo "fuzz: build failed" >&2; exit 1; }
failed=0
for name in ${TAVRIN_FUZZ_ONLY:-$(fuzz_targets)}; do
    fuzz_run "$name" -max_total_time="${TAVRIN_FUZZ_SECONDS:-600}" -rss_limit_mb=4096 || failed=1
done
exit "$failed"
