#!/usr/bin/env bash
# Every libFuzzer target of fuzz/ for a short, fixed number of executions
# from its seed corpus, under AddressSanitizer and UndefinedBehaviorSanitizer.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/test.d/lib/fuzz.sh
fuzz_build || { echo "fuzz: build failed" >&2; exit 1; }
# The input assembly's megabyte inputs take a while each: fewer runs of it.
runs_of() { [ "$1" = input_assembly ] && echo 2000 || echo 20000; }
failed=0
for name in $(fuzz_targets); do
    fuzz_run "$name" -runs="$(runs_of "$name")" -seed=1 || failed=1
done
exit "$failed"
