#!/usr/bin/env bash
# CI leg: the whole test suite built with clang under ThreadSanitizer, so
# that the two digest passes, in the tests and in the programs they start,
# are watched for data races; any report ends the process that met it and
# fails its test.
#
#   .ci/tsan.sh [BUILD_DIR]     (default build/tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
need_clang

build=${1:-build/tsan}
start=$SECONDS
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1"
cmake --preset tsan -B "$build"
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure --no-tests=error --timeout 900
echo "tsan: passed in $((SECONDS - start)) s"
