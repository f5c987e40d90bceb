#!/usr/bin/env bash
# CI leg: the whole test suite built with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, where any finding aborts the test that met it.
#
#   .ci/sanitize.sh [BUILD_DIR]     (default build/sanitize)
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
need_clang

build=${1:-build/sanitize}
start=$SECONDS
cmake --preset sanitize -B "$build"
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure --no-tests=error --timeout 900
echo "sanitize: passed in $((SECONDS - start)) s"
