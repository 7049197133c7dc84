#!/usr/bin/env bash
# The resource script compiles with the Windows resource compiler, and the
# committed icon is what its generator draws.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages binutils-mingw-w64-x86-64 python3

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

x86_64-w64-mingw32-windres -I resources resources/tavrin.rc -O coff -o "$out/tavrin.res.o"
x86_64-w64-mingw32-windres -I resources resources/tavrin.rc -O rc -o "$out/tavrin.rc"
for want in '"TAVRINMENU"' '"TAVRINHELPBOX" DIALOG' '"ABOUTBOX" DIALOG' 'STYLE 0x90c800c0'; do
    grep -q "$want" "$out/tavrin.rc" || { echo "resource script: no $want in windres output" >&2; exit 1; }
done

cp resources/make_icon.py "$out/"
python3 "$out/make_icon.py"
cmp "$out/tavrin.ico" resources/tavrin.ico || { echo "resources/tavrin.ico differs from make_icon.py's drawing" >&2; exit 1; }
echo "resources: ok"
