#!/usr/bin/env bash
# tavrin-cli.exe, cross-compiled with MinGW-w64, under Wine: --help, --version
# and ports run and end cleanly. Wine has no MIDI ports here, so ports says so
# and ends with 69. Shares the Wine prefix of the windows-wine suite.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
source scripts/test.d/lib/wine.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libcli11-dev \
    nlohmann-json3-dev "${WINE_PACKAGES[@]}" || exit 1

build=build/windows
cmake --preset windows >/dev/null && cmake --build --preset windows -j2 --target tavrin-cli >/dev/null || {
    echo "cli-wine: building tavrin-cli.exe failed" >&2; exit 1; }
exe=$build/tavrin-cli.exe
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | sort -u | tr '\n' ' ')
echo "cli-wine: tavrin-cli.exe $(stat -c %s "$exe") bytes, imports: $dlls"
for dll in $dlls; do
    case "${dll,,}" in
        kernel32.dll|user32.dll|winmm.dll|msvcrt.dll|api-ms-win-crt-*.dll) ;;
        *) echo "cli-wine: tavrin-cli.exe needs $dll" >&2; exit 1 ;;
    esac
done
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -Eq '^Subsystem.*Windows CUI' <<<"$headers" || {
    echo "cli-wine: tavrin-cli.exe is not a console program" >&2; exit 1; }

wine_env "$PWD/$build/wine-prefix"
unset DISPLAY  # a console program needs no display
cleanup() {
    [ -d "$WINEPREFIX" ] && { timeout 30 wineserver -k 2>/dev/null; timeout 30 wineserver -w 2>/dev/null; }
}
trap cleanup EXIT
wine_prefix || exit 1

failed=0
t0=$SECONDS
out=$build/cli-wine
rm -rf "$out"; mkdir -p "$out"
run() {  # NAME EXPECTED-STATUS ARGS...
    local name=$1 expected=$2 status; shift 2
    timeout 120 wine "$exe" "$@" >"$out/$name.out" 2>"$out/$name.err"
    status=$?
    [ "$status" -eq "$expected" ] || { echo "cli-wine: FAIL: $name: exit status $status, expected $expected" >&2; failed=1; }
}
run help 0 --help
grep -q 'wiring' "$out/help.out" || { echo "cli-wine: FAIL: --help lists no commands" >&2; failed=1; }
run version 0 --version
version=$(sed -n 's/^project(Tavrin VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
tr -d '\r' <"$out/version.out" | grep -qx "tavrin-cli $version" || { echo "cli-wine: FAIL: --version says $(cat "$out/version.out")" >&2; failed=1; }
run ports 69 ports
tr -d '\r' <"$out/ports.out" | grep -qx 'MIDI engine: winmm' || { echo "cli-wine: FAIL: ports names no engine" >&2; failed=1; }
grep -q 'no MIDI ports' "$out/ports.err" || { echo "cli-wine: FAIL: ports does not say there are none" >&2; failed=1; }
run ports-json 69 ports --json
run test 69 test --in 0 --out 0
run usage 64 test --in 0

# wsprintfA's fields at its 1,024-character limit: Tavrin's writes what
# Windows' (here Wine's) does.
if cmake --preset debug >/dev/null && cmake --build --preset debug -j2 --target wsprintf_limit >/dev/null &&
    x86_64-w64-mingw32-g++ -O1 -static -o "$out/wsprintf_limit.exe" tests/platform/wsprintf_limit.cpp -luser32; then
    build/debug/tests/wsprintf_limit >"$out/wsprintf.tavrin"
    timeout 120 wine "$out/wsprintf_limit.exe" | tr -d '\r' >"$out/wsprintf.wine"
    if [ ! -s "$out/wsprintf.wine" ] || ! cmp -s "$out/wsprintf.tavrin" "$out/wsprintf.wine"; then
        echo "cli-wine: FAIL: wsprintfA at its limit differs from Wine's, first at:" >&2
        diff "$out/wsprintf.tavrin" "$out/wsprintf.wine" | head -3 | cut -c1-160 >&2
        failed=1
    fi
else
    echo "cli-wine: FAIL: building wsprintf_limit failed" >&2; failed=1
fi

echo "cli-wine: $((SECONDS - t0)) s"
[ "$failed" -eq 0 ] && echo "cli-wine: passed" || echo "cli-wine: FAILED"
exit "$failed"
