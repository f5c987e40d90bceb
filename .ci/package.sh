#!/usr/bin/env bash
# CI leg: install rules and the Debian package. `cmake --install` must put
# exactly bin/zmrgen and share/man/man1/zmrgen.1 in place; CPack's .deb must
# install with dpkg, run, and remove cleanly.
#
#   .ci/package.sh [BUILD_DIR]     (default build/release, built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
need_packages dpkg-shlibdeps dpkg-dev groff groff-base man man-db

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
cmake --build "$build" --target zmrgen

# The install tree.
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
(cd "$scratch/prefix" && find . -type f | sort) > "$scratch/files"
printf './bin/zmrgen\n./share/man/man1/zmrgen.1\n' | diff - "$scratch/files"

# The manual page renders without a warning.
warnings=$(groff -man -Tutf8 -ww -z man/zmrgen.1 2>&1)
if [ -n "$warnings" ]; then
  echo "package: man page warnings:"
  echo "$warnings"
  exit 1
fi

# The package.
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/deb" >/dev/null
deb=$(ls "$scratch"/deb/zmrgen_*_amd64.deb)
echo "package: $(basename "$deb"), depends on: $(dpkg-deb -f "$deb" Depends)"

# Installed with dpkg (only where no zmrgen package is installed already),
# run as a script would (no terminal, so no key wait), then removed.
if dpkg -s zmrgen >/dev/null 2>&1; then
  echo "package: a zmrgen package is installed here already; not replacing it"
  exit 1
fi
dpkg -i "$deb" >/dev/null
installed_here=1
[ "$(command -v zmrgen)" = /usr/bin/zmrgen ]
[[ $(man -w zmrgen) == /usr/share/man/man1/zmrgen.1* ]]
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
dpkg -P zmrgen >/dev/null
installed_here=
[ ! -e /usr/bin/zmrgen ] && [ ! -e /usr/share/man/man1/zmrgen.1 ]
echo "package: passed in $((SECONDS - start)) s"
