#!/usr/bin/env bash
# Every libFuzzer target of fuzz/ for a short, fixed number of executions
# from its seed corpus, under AddressSanitizer and UndefinedBehaviorSanitizer.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/test.d/lib/fuzz.sh
fuzz_build || { echo "fuzz: build failed" >&2; exit 1; }
# A fixed seed and number of runs: the same inputs every time, so that the
# command never fails by chance; what the targets have found is in their seeds.
failed=0
for name in $(fuzz_targets); do
    fuzz_run "$name" -runs=20000 -seed=1 || failed=1
done
exit "$failed"
