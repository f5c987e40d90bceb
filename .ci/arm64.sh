#!/usr/bin/env bash
# CI leg: Linux arm64 cross-built and tested under qemu-aarch64, twice: on a
# processor with the ARMv8 SHA-1 and SHA-512 instructions (QEMU_CPU=max) and
# on a Cortex-A53, which has the SHA-1 instructions only; so every
# compression path runs and is checked against the portable one. Then the
# arm64 Debian package is made and checked.
#
#   .ci/arm64.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
need_packages aarch64-linux-gnu-g++ g++-aarch64-linux-gnu qemu-aarch64 qemu-user \
  /usr/src/googletest/CMakeLists.txt googletest

start=$SECONDS
cmake --workflow --preset arm64 </dev/null

(cd build/port-arm64 && cpack -G DEB >/dev/null)
deb=$(ls build/port-arm64/zmrgen_*_arm64.deb)
# Captured first: grep -q stops reading early, which would fail the pipe.
[ "$(dpkg-deb -f "$deb" Architecture)" = arm64 ]
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == "libc6 (>= 2.34)"* ]]
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)
[ "$files" = "$(printf './usr/bin/zmrgen\n./usr/share/man/man1/zmrgen.1')" ]
echo "arm64: $(basename "$deb") depends on: $depends"
echo "arm64: passed in $((SECONDS - start)) s"
