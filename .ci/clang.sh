#!/usr/bin/env bash
# CI leg: Linux x86-64 with clang as a second compiler, warnings as errors,
# the whole test suite.
#
#   .ci/clang.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
need_packages clang++ clang

start=$SECONDS
cmake --workflow --preset clang </dev/null
echo "clang: passed in $((SECONDS - start)) s"
