#!/usr/bin/env bash
# CI leg: builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time from its seed
# corpus. Any crash, leak, timeout or failed check fails the leg; the input
# that caused it is kept as BUILD_DIR/artifacts/<target>-crash-... .
#
#   .ci/fuzz.sh [BUILD_DIR]     (default build/fuzz)
#   ZMRGEN_FUZZ_SECONDS=60      time per target
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
need_clang

build=${1:-build/fuzz}
seconds=${ZMRGEN_FUZZ_SECONDS:-60}
targets=(fuzz_framing fuzz_compress fuzz_cli fuzz_record)
start=$SECONDS
cmake --preset fuzz -B "$build"
cmake --build "$build"
mkdir -p "$build/artifacts"
# Scratch files of the targets, on tmpfs when there is one, removed at the end.
scratch=$(mktemp -d -p "$( [ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")")
trap 'rm -rf "$scratch"' EXIT

status=0
for target in "${targets[@]}"; do
  binary=$build/fuzz/$target
  if [ ! -x "$binary" ]; then
    echo "fuzz: $target was not built"
    status=1
    continue
  fi
  # New inputs go to a scratch corpus, never into the repository.
  corpus=$(mktemp -d)
  cp -R "fuzz/corpus/$target/." "$corpus/" 2>/dev/null || true
  log=$build/artifacts/$target.log
  echo "fuzz: $target for $seconds s from $(ls "$corpus" | wc -l) seeds"
  if TMPDIR=$scratch "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" "$corpus" >"$log" 2>&1; then
    # The last status line: edges covered (cov), features (ft), corpus size.
    summary=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
    echo "fuzz: $target passed: $summary; corpus now $(ls "$corpus" | wc -l) inputs"
  else
    echo "fuzz: $target FAILED; last lines of its log ($log):"
    tail -n 60 "$log"
    status=1
  fi
  rm -rf "$corpus"
done
echo "fuzz: finished in $((SECONDS - start)) s"
exit $status
