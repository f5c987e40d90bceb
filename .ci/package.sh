#!/usr/bin/env bash
# CI leg: install rules and the Debian package. `cmake --install` must put
# exactly the programs (zmrgen, zmrcheck and zmrbatch), their compressed manual pages,
# the copyright file and the changelog in place; the .deb must pass lintian
# with no error or warning, come out byte for byte the same from a second
# build in another folder, install with dpkg, run, and remove cleanly.
#
#   .ci/package.sh [BUILD_DIR]     (default build/release, built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
need_packages dpkg-shlibdeps dpkg-dev groff groff-base man man-db lintian lintian

build=${1:-build/release}
start=$SECONDS
scratch=$(mktemp -d)
installed_here=
cleanup() {
  if [ -n "$installed_here" ]; then dpkg -P zmrgen >/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

[ -f "$build/CMakeCache.txt" ] || cmake --preset release -B "$build"
cmake --build "$build" --target zmrgen_package

# The install tree: each program with its manual page, and the package's
# documentation.
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
(cd "$scratch/prefix" && find . -type f | sort) > "$scratch/files"
diff <(package_files .) "$scratch/files"

# The manual pages render without a warning.
for program in $ZMRGEN_PROGRAMS; do
  warnings=$(groff -man -Tutf8 -ww -z "man/$program.1" 2>&1)
  if [ -n "$warnings" ]; then
    echo "package: $program.1 warnings:"
    echo "$warnings"
    exit 1
  fi
done

# The package, and lintian on it: any error or warning fails (notes and
# overrides are shown, not counted).
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/deb" >/dev/null
deb=$(ls "$scratch"/deb/zmrgen_*_amd64.deb)
echo "package: $(basename "$deb"), depends on: $(dpkg-deb -f "$deb" Depends)"
lintian --fail-on error,warning --display-info --show-overrides "$deb"
echo "package: lintian: no error or warning"

# Reproducible: the same package from a second build of this commit in
# another folder, made later, under another umask and time zone.
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
cmake -S . -B "$scratch/again" -G "$(cache CMAKE_GENERATOR)" \
  -DCMAKE_BUILD_TYPE="$(cache CMAKE_BUILD_TYPE)" -DCMAKE_CXX_COMPILER="$(cache CMAKE_CXX_COMPILER)" \
  -DZMRGEN_WERROR="$(cache ZMRGEN_WERROR)" -DZMRGEN_BUILD_TESTS=OFF -DZMRGEN_BUILD_BENCH=OFF \
  >/dev/null
cmake --build "$scratch/again" --target zmrgen_package >/dev/null
(umask 0002 && TZ=Pacific/Kiritimati cpack --config "$scratch/again/CPackConfig.cmake" -G DEB \
  -B "$scratch/deb-again" >/dev/null)
cmp "$deb" "$scratch"/deb-again/zmrgen_*_amd64.deb
echo "package: a second build in another folder gives the same bytes"

# Installed with dpkg (only where no zmrgen package is installed already),
# run as a script would (no terminal, so no key wait), then removed.
if dpkg -s zmrgen >/dev/null 2>&1; then
  echo "package: a zmrgen package is installed here already; not replacing it"
  exit 1
fi
dpkg -i "$deb" >/dev/null
installed_here=1
for program in $ZMRGEN_PROGRAMS; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ]
  [ "$(man -w "$program")" = "/usr/share/man/man1/$program.1.gz" ]
done
[ "$(zcat /usr/share/doc/zmrgen/changelog.gz | head -1)" = \
  "zmrgen ($(dpkg-deb -f "$deb" Version)) unstable; urgency=medium" ]
mkdir "$scratch/run"
printf abc > "$scratch/run/abc.txt"
status=0
(cd "$scratch/run" && setsid -w zmrgen abc.txt </dev/null >"$scratch/out" 2>"$scratch/err") ||
  status=$?
[ "$status" -eq 3 ]
[ ! -s "$scratch/err" ]
grep -qx 'A9993E36 4706816A BA3E2571 7850C26C 9CD0D89D ' "$scratch/out"
[ "$(head -c 174 "$scratch/run/A9993E36.zmr")" = \
  'DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49FA9993E364706816ABA3E25717850C26C9CD0D89D000001' ]
(cd "$scratch/run" && setsid -w zmrcheck A9993E36.zmr abc.txt </dev/null >"$scratch/out")
grep -qx 'abc.txt: OK' "$scratch/out"
setsid -w zmrcheck --version </dev/null >/dev/null
printf abd >"$scratch/run/abd.txt"
(cd "$scratch/run" && zmrbatch abc.txt abd.txt </dev/null >"$scratch/out" 2>"$scratch/err")
grep -q '^abc.txt: already recorded (A9993E36.zmr, created ' "$scratch/out"
grep -q '^abd.txt: recorded (CB4CC28D.zmr, created ' "$scratch/out"
grep -qx 'zmrbatch: 1 recorded, 1 already recorded' "$scratch/err"
dpkg -P zmrgen >/dev/null
installed_here=
for program in $ZMRGEN_PROGRAMS; do
  [ ! -e "/usr/bin/$program" ] && [ ! -e "/usr/share/man/man1/$program.1.gz" ]
done
[ ! -e /usr/share/doc/zmrgen ]
echo "package: passed in $((SECONDS - start)) s"
