#!/usr/bin/env bash
# CI leg: Windows x86-64 built with MinGW-w64 and tested under Wine: the
# platform-neutral unit tests and the Windows command-line and key-wait
# tests, all run by CTest through cmake/run-wine.sh. Then the ZIP is made
# twice, from two builds, and must come out the same.
#
#   .ci/windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
# Without Wine's recommended packages (fonts, multimedia, 32-bit parts): the
# tests need none of them, and they are large.
wine_missing=()
command -v wine >/dev/null || wine_missing+=(wine)
[ -e /usr/lib/wine/wine64 ] || wine_missing+=(wine64)
if [ ${#wine_missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${wine_missing[@]}" </dev/null
fi
need_packages x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix \
  /usr/src/googletest/CMakeLists.txt googletest

# The Wine prefix run-wine.sh uses, kept between runs: making one takes
# several seconds.
export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/zmrgen/wine}"
export WINEDEBUG=-all

# One Wine server for the whole leg, started here with its services (and
# their inherited descriptors) away from CTest's output pipes; otherwise each
# test would wait for the server of the one before to time out.
start=$SECONDS
trap 'wineserver -k 2>/dev/null || true' EXIT
mkdir -p "$(dirname "$WINEPREFIX")"
wineserver -p </dev/null >/dev/null 2>&1 || true  # one may be running already
cmake/run-wine.sh wineboot --init </dev/null >/dev/null 2>&1
cmake/run-wine.sh cmd /c exit </dev/null >/dev/null 2>&1
echo "windows: Wine ready in $((SECONDS - start)) s"

cmake --workflow --preset windows </dev/null

# The ZIP that cpack makes is reproducible: a second build of this commit in
# another folder, packed later under another umask and time zone, gives the
# same bytes; its members are sorted.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"; wineserver -k 2>/dev/null || true' EXIT
cpack --config build/port-windows/CPackConfig.cmake -G ZIP -B "$scratch/zip" >/dev/null
zip=$(ls "$scratch"/zip/zmrgen-*.zip)
cmake -S . -B "$scratch/again" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZMRGEN_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-mingw-w64-x86_64.cmake" \
  -DZMRGEN_BUILD_TESTS=OFF -DZMRGEN_BUILD_BENCH=OFF >/dev/null
cmake --build "$scratch/again" --target zmrgen_package >/dev/null
(umask 0002 && TZ=Pacific/Kiritimati cpack --config "$scratch/again/CPackConfig.cmake" -G ZIP \
  -B "$scratch/zip-again" >/dev/null)
cmp "$zip" "$scratch/zip-again/$(basename "$zip")"
members=$(cmake -E tar tf "$zip")
[ "$members" = "$(LC_ALL=C sort <<<"$members")" ]
echo "windows: $(basename "$zip") is reproducible:" $members
echo "windows: passed in $((SECONDS - start)) s"
