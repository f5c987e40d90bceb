#!/usr/bin/env bash
# CI leg: the layout of every tracked C++ file against the checked-in
# .clang-format, then clang-tidy with the checked-in .clang-tidy over every
# source file of ours that this platform compiles (product, tests, fuzz
# targets and benchmarks); any finding fails the leg. The compile commands
# come from the clang sanitizer configuration.
#
#   .ci/tidy.sh [BUILD_DIR]     (default build/sanitize; configured if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
need_clang
need_packages clang-tidy clang-tidy clang-format clang-format

# Layout: `clang-format -i` on a file named here puts it right.
if ! git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror; then
  echo "tidy: files above are not laid out as .clang-format says"
  exit 1
fi
echo "tidy: layout of $(git ls-files '*.cpp' '*.h' | wc -l) files matches .clang-format"

build=${1:-build/sanitize}
start=$SECONDS
if [ ! -f "$build/compile_commands.json" ]; then
  cmake --preset sanitize -B "$build" >/dev/null
fi
# Generated sources must exist before they can be analysed.
cmake --build "$build" --target zmrgen_core >/dev/null

root=$(pwd)
mapfile -t files < <(grep -o '"file": *"[^"]*"' "$build/compile_commands.json" |
  sed 's/"file": *"\(.*\)"/\1/' | grep -E "^$root/(app|digest|platform|record|tests|fuzz|bench)/" | sort -u)
echo "tidy: ${#files[@]} files"
status=0
printf '%s\n' "${files[@]}" |
  xargs -P 2 -n 1 clang-tidy -p "$build" --quiet --use-color=false || status=$?
if [ "$status" -ne 0 ]; then
  echo "tidy: findings above (clang-tidy exit $status)"
  exit 1
fi
echo "tidy: clean in $((SECONDS - start)) s"
