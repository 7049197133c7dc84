#!/usr/bin/env bash
# Every source of the program's own Win32 code compiles against MinGW-w64's
# real windows.h and mmsystem.h: the portable subset cannot drift from the
# API it stands for. Compile only; no platform/ header is on the path.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
tavrin_need_packages g++-mingw-w64-x86-64

shopt -s nullglob
sources=(midi/*.cpp loopback/*.cpp app/*.cpp)
if [ ${#sources[@]} -eq 0 ]; then
    echo "mingw: SKIPPED: no sources in midi/, loopback/ or app/ yet"
    exit 0
fi
failed=0
for src in "${sources[@]}"; do
    x86_64-w64-mingw32-g++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only \
        -I . -I resources "$src" || { echo "mingw: $src does not compile against the real headers" >&2; failed=1; }
done
[ "$failed" -eq 0 ] || exit 1
echo "mingw: ok (${#sources[@]} sources)"
