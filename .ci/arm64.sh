#!/usr/bin/env bash
# CI leg: Linux arm64 cross-built and tested under qemu-aarch64, twice: on a
# processor with the ARMv8 SHA-1 and SHA-512 instructions (QEMU_CPU=max) and
# on a Cortex-A53, which has the SHA-1 instructions only; so every
# compression path runs and is checked against the portable one. Then the
# arm64 Debian package is made and checked: its files, lintian (no error or
# warning), and its programs run under qemu.
#
#   .ci/arm64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
need_packages aarch64-linux-gnu-g++ g++-aarch64-linux-gnu qemu-aarch64 qemu-user \
  /usr/src/googletest/CMakeLists.txt googletest lintian lintian dpkg-deb dpkg

start=$SECONDS
cmake --workflow --preset arm64 </dev/null

(cd build/port-arm64 && cpack -G DEB >/dev/null)
deb=$(ls build/port-arm64/zmrgen_*_arm64.deb)
# Captured first: grep -q stops reading early, which would fail the pipe.
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ]
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == "libc6 (>= 2.34)"* ]]
# Each program with its manual page, and the package's documentation.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
[ "$files" = "$(package_files ./usr)" ]
echo "arm64: $(basename "$deb") depends on: $depends"
lintian --fail-on error,warning --display-info --show-overrides "$deb"
echo "arm64: lintian: no error or warning"

# The packaged (stripped) programs run under qemu: a record for a file
# holding "abc", zmrcheck accepts the file, and zmrbatch finds it recorded.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch/root"
qemu=$PWD/cmake/run-qemu-aarch64.sh
mkdir "$scratch/run"
printf abc > "$scratch/run/abc.txt"
status=0
(cd "$scratch/run" && setsid -w "$qemu" "$scratch/root/usr/bin/zmrgen" abc.txt </dev/null >/dev/null) ||
  status=$?
[ "$status" -eq 3 ]
[ "$(head -c 174 "$scratch/run/A9993E36.zmr")" = \
  'DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEEBBD454D4423643CE80E2A9AC94FA54CA49FA9993E364706816ABA3E25717850C26C9CD0D89D000001' ]
(cd "$scratch/run" && setsid -w "$qemu" "$scratch/root/usr/bin/zmrcheck" A9993E36.zmr abc.txt \
  </dev/null >"$scratch/out")
grep -qx 'abc.txt: OK' "$scratch/out"
setsid -w "$qemu" "$scratch/root/usr/bin/zmrcheck" --version </dev/null >/dev/null
(cd "$scratch/run" && setsid -w "$qemu" "$scratch/root/usr/bin/zmrbatch" abc.txt </dev/null \
  >"$scratch/out")
grep -q '^abc.txt: already recorded (A9993E36.zmr, created ' "$scratch/out"
echo "arm64: the packaged programs run"
echo "arm64: passed in $((SECONDS - start)) s"
