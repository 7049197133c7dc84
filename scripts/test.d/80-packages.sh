#!/usr/bin/env bash
# The packages people install. The Debian package is built with CPack, checked
# by lintian, installed on this machine with apt-get, used from /usr/bin, and
# purged again, with everything apt brought for it, even when a check fails;
# then nothing of it may be left. The Windows zips for 64 and 32 bits are
# built and unpacked; the 64-bit tavrin-cli.exe runs under Wine, and objdump
# shows what each executable is and which DLLs it needs.
set -uo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
source scripts/test.d/lib/wine.sh
tavrin_need_packages "${TAVRIN_BUILD_PACKAGES[@]}" "${TAVRIN_DESKTOP_PACKAGES[@]}" \
    "${TAVRIN_PACKAGE_PACKAGES[@]}" "${WINE_PACKAGES[@]}" || exit 1

fail() { echo "packages: $*" >&2; exit 1; }
export LC_ALL=C  # apt's lists of what it installs are read below
t0=$SECONDS
work=$(mktemp -d /tmp/tavrin-packages.XXXXXX) || exit 1
installed_by_us=()
prefix_dir=
cleanup() {
    if [ ${#installed_by_us[@]} -gt 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 purge -y -q \
            "${installed_by_us[@]}" >/dev/null 2>&1 ||
            echo "packages: could not purge ${installed_by_us[*]}" >&2
    fi
    if [ -n "$prefix_dir" ]; then
        WINEPREFIX=$prefix_dir timeout 30 wineserver -k 2>/dev/null
        WINEPREFIX=$prefix_dir timeout 30 wineserver -w 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# --- The Debian package ---------------------------------------------------------

cmake --preset release >/dev/null || fail "configuring the release preset failed"
cmake --build --preset deb -j2 >/dev/null || fail "building the package's files failed"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
[ -n "$version" ] || fail "no project version in build/release/CMakeCache.txt"
rm -f build/release/tavrin_*.deb
cpack --preset deb >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=build/release/tavrin_${version}_amd64.deb
[ -f "$deb" ] || fail "cpack made no $deb: $(ls build/release/*.deb 2>/dev/null)"

dpkg-deb -c "$deb" | awk '{print substr($6, 2)}' | grep -v '/$' | sort >"$work/files"
for want in /usr/bin/tavrin /usr/bin/tavrin-cli /usr/share/applications/tavrin.desktop \
    /usr/share/icons/hicolor/{32x32,48x48,64x64,128x128,256x256}/apps/tavrin.png \
    /usr/share/icons/hicolor/scalable/apps/tavrin.svg \
    /usr/share/man/man1/tavrin.1.gz /usr/share/man/man1/tavrin-cli.1.gz \
    /usr/share/metainfo/org.tavrin.Tavrin.metainfo.xml \
    /usr/share/doc/tavrin/copyright /usr/share/doc/tavrin/changelog.gz; do
    grep -qx "$want" "$work/files" || fail "$deb has no $want"
done
depends=$(dpkg-deb -f "$deb" Depends)
# Computed by dpkg-shlibdeps from what the programs link.
for lib in libc6 libstdc++6 libasound2 libjack libqt6widgets6; do
    [[ "$depends" == *"$lib"* ]] || fail "the package does not depend on $lib: $depends"
done
echo "packages: $(basename "$deb") $(stat -c %s "$deb") bytes, Depends: $depends"

# The package's own description is checked as a person reads it; every tag
# lintian still reports is a failure. (None is left to explain.)
lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1 ||
    { cat "$work/lintian" >&2; fail "lintian found errors or warnings"; }

# Installed on the machine, as a person would.
dpkg-query -W -f='${Status}' tavrin 2>/dev/null | grep -q 'ok installed' &&
    fail "a package tavrin is installed already; this suite installs and removes its own"
cp "$deb" "$work/"
installed_by_us=(tavrin)  # purged on the way out, however far the install got
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q \
    "$work/$(basename "$deb")" >"$work/apt.log" 2>&1
status=$?
# What apt added: the package and any dependency that was missing.
mapfile -t added < <(sed -n '/^The following NEW packages will be installed:/,/^[^ ]/{/^  /p}' "$work/apt.log" |
    tr ' ' '\n' | sed '/^$/d')
for p in "${added[@]}"; do [ "$p" = tavrin ] || installed_by_us+=("$p"); done
[ "$status" -eq 0 ] || { cat "$work/apt.log" >&2; fail "apt-get install ./$(basename "$deb") failed"; }
[ ${#added[@]} -le 1 ] || echo "packages: apt also installed: ${added[*]}"

out=$(/usr/bin/tavrin-cli --version 2>&1) || fail "tavrin-cli --version failed: $out"
[[ "$out" == *"$version"* ]] || fail "tavrin-cli --version printed \"$out\", not the version $version"
echo "packages: /usr/bin/tavrin-cli --version: $out"
out=$(timeout 30 /usr/bin/tavrin-cli ports 2>&1)
status=$?
# A machine without an ALSA sequencer or a JACK server (CI's) has no ports: 69, EX_UNAVAILABLE.
[ "$status" -eq 0 ] || { [ "$status" -eq 69 ] && [[ "$out" == *"no MIDI ports"* ]]; } ||
    fail "tavrin-cli ports ended with $status: $out"
echo "packages: /usr/bin/tavrin-cli ports: ${out%%$'\n'*} (status $status)"
out=$(TAVRIN_MIDI=cable timeout 30 /usr/bin/tavrin-cli ports 2>&1) || fail "TAVRIN_MIDI=cable tavrin-cli ports failed: $out"
[[ "$out" == *"Virtual Cable 1"* ]] || fail "TAVRIN_MIDI=cable tavrin-cli ports does not list the cable: $out"
out=$(TAVRIN_MIDI=cable timeout 60 /usr/bin/tavrin-cli test --in 0 --out 0 --count 10 --quiet 2>&1) ||
    fail "TAVRIN_MIDI=cable tavrin-cli test --in 0 --out 0 --count 10 failed: $out"
echo "packages: /usr/bin/tavrin-cli test --count 10 on the cable: $out"
ldd /usr/bin/tavrin /usr/bin/tavrin-cli | grep -q 'not found' && fail "a library of /usr/bin/tavrin is missing"
desktop-file-validate /usr/share/applications/tavrin.desktop || fail "the desktop file is not valid"
appstreamcli validate --no-net /usr/share/metainfo/org.tavrin.Tavrin.metainfo.xml >"$work/appstream" 2>&1 ||
    { cat "$work/appstream" >&2; fail "the AppStream metainfo is not valid"; }
# Each hicolor PNG is as large as its folder says; the SVG is well-formed.
for size in 32 48 64 128 256; do
    png=/usr/share/icons/hicolor/${size}x${size}/apps/tavrin.png
    got=$(od -An -tu4 --endian=big -j16 -N8 "$png" | xargs)
    [ "$got" = "$size $size" ] || fail "$png is $got pixels, not $size x $size"
done
python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' \
    /usr/share/icons/hicolor/scalable/apps/tavrin.svg || fail "tavrin.svg is not well-formed"
for page in tavrin tavrin-cli; do
    zcat "/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH" || fail "the man page of $page has no .TH"
done

DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 purge -y -q "${installed_by_us[@]}" \
    >"$work/apt-purge.log" 2>&1 || { cat "$work/apt-purge.log" >&2; fail "apt-get purge failed"; }
purged=("${installed_by_us[@]}")
installed_by_us=()
for p in "${purged[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' && fail "$p is still installed"
done
while read -r f; do
    [ ! -e "$f" ] || fail "$f is left after the package was purged"
done <"$work/files"
[ ! -e /usr/share/doc/tavrin ] || fail "/usr/share/doc/tavrin is left after the package was purged"
echo "packages: installed, used and purged: ok"

# --- The Windows zips -------------------------------------------------------------

# Windows' own DLLs: what a static MinGW build may import.
windows_dll() {
    case "${1,,}" in
        kernel32.dll|user32.dll|gdi32.dll|winmm.dll|msvcrt.dll|advapi32.dll|shell32.dll|ws2_32.dll|api-ms-win-crt-*.dll) return 0 ;;
        *) return 1 ;;
    esac
}

for bits in 64 32; do
    preset=windows; [ "$bits" = 32 ] && preset=windows32
    triple=x86_64-w64-mingw32; format=pei-x86-64
    [ "$bits" = 32 ] && { triple=i686-w64-mingw32; format=pei-i386; }
    cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j2 >/dev/null ||
        fail "building the $preset preset failed"
    zip=build/$preset/tavrin-$version-win$bits.zip
    rm -f "$zip"
    cpack --preset "win$bits" >"$work/cpack-$bits.log" 2>&1 || { cat "$work/cpack-$bits.log" >&2; fail "cpack win$bits failed"; }
    [ -f "$zip" ] || fail "cpack made no $zip"
    dir=tavrin-$version-win$bits
    got=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
    [ "$got" = "$dir/README.txt $dir/tavrin-cli.exe $dir/tavrin.exe " ] || fail "$zip holds: $got"
    unzip -q "$zip" -d "$work/zip$bits" || fail "unzip $zip failed"
    grep -q "Tavrin $version for $bits-bit Windows" "$work/zip$bits/$dir/README.txt" ||
        fail "$dir/README.txt does not name the version and the Windows it is for"
    for exe in "$work/zip$bits/$dir"/*.exe; do
        name=$(basename "$exe")
        "$triple-objdump" -f "$exe" | grep -q "file format $format" || fail "$dir/$name is not a $format image"
        dlls=$("$triple-objdump" -p "$exe" | sed -n 's/^\tDLL Name: //p' | sort -u | tr '\n' ' ')
        for dll in $dlls; do windows_dll "$dll" || fail "$dir/$name imports $dll, which Windows does not ship"; done
        "$triple-windres" -i "$exe" -O rc 2>/dev/null | grep -q "VALUE \"FileVersion\", \"$version\"" ||
            fail "$dir/$name has no VERSIONINFO with FileVersion $version"
        echo "packages: $dir/$name $(stat -c %s "$exe") bytes, imports: $dlls"
    done
    echo "packages: $(basename "$zip") $(stat -c %s "$zip") bytes"
done

# The 64-bit command-line program under Wine, in a prefix of its own (no display needed).
prefix_dir=$work/wine-prefix
wine_env "$prefix_dir"
wine_prefix || fail "no Wine prefix"
out=$(timeout 60 wine "$work/zip64/tavrin-$version-win64/tavrin-cli.exe" --version 2>/dev/null | tr -d '\r') ||
    fail "tavrin-cli.exe --version failed under Wine: $out"
[[ "$out" == *"$version"* ]] || fail "tavrin-cli.exe --version printed \"$out\", not the version $version"
echo "packages: tavrin-cli.exe --version under Wine: $out"

echo "packages: ok in $((SECONDS - t0)) s"
