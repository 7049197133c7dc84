# The libFuzzer targets of fuzz/: built under the fuzz preset, each run from
# its committed seed corpus. Sourced by scripts/test.d/80-fuzz.sh (a short,
# fixed number of executions) and bench/fuzz.sh (ten minutes each).
source scripts/deps.sh

# Names of the targets: one source file per target beside fuzz/CMakeLists.txt.
fuzz_targets() {
    local name
    for name in $(sed -n 's/^set(TAVRIN_FUZZ_\(CLI_\)\{0,1\}TARGETS \(.*\))$/\2/p' fuzz/CMakeLists.txt); do
        echo "$name"
    done
}

fuzz_build() {
    tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_FUZZ_PACKAGES[@]}" || return 1
    local targets=()
    for name in $(fuzz_targets); do targets+=("fuzz_$name"); done
    cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j"$(nproc)" --target "${targets[@]}" >/dev/null
}

# fuzz_run NAME LIBFUZZER-OPTION...: runs one target from its seeds, keeping
# what it finds in a scratch folder, and prints one line of figures. Non-zero
# on a crash, a leak, a failed check or a time-out.
fuzz_run() {
    local name=$1
    shift
    local scratch log status
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/tavrin-fuzz-$name.XXXXXX")
    log="$scratch.log"
    (cd "$scratch" && "$OLDPWD/build/fuzz/fuzz/fuzz_$name" -print_final_stats=1 -timeout=30 "$@" \
        "$scratch" "$OLDPWD/fuzz/corpus/$name") >"$log" 2>&1
    status=$?
    local execs cov ft corp
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)' "$log" | tail -1 | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
    ft=$(grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)' "$log" | tail -1 | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
    corp=$(grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)' "$log" | tail -1 | sed -n 's/.* corp: \([0-9]*\).*/\1/p')
    printf 'fuzz %-18s executions %-10s coverage %-6s features %-6s corpus %s\n' \
        "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}"
    if [ "$status" -ne 0 ]; then
        echo "fuzz $name failed (status $status); its log:" >&2
        grep -vE '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$log" | tail -40 >&2
        cp "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* . 2>/dev/null &&
            echo "fuzz $name: the failing input is in $PWD" >&2
    fi
    rm -rf "$scratch" "$log"
    return "$status"
}
