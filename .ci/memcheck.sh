#!/usr/bin/env bash
# CI leg: the tool under valgrind's memcheck on a success (a small file and
# one that spans many reads), a digest failure, an unreadable name, the help
# screen and a syntax error. Any memory error, any leak and any input stream
# left open at exit fail the leg, as does an unexpected exit status.
#
#   .ci/memcheck.sh [BUILD_DIR]     (default build/memcheck)
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
need_packages valgrind valgrind setsid util-linux

build=${1:-build/memcheck}
start=$SECONDS
# Optimised as shipped, with line numbers for the reports.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZMRGEN_WERROR=ON \
  -DZMRGEN_BUILD_TESTS=OFF -DZMRGEN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target zmrgen
tool=$(cd "$build" && pwd)/zmrgen

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'abc' >"$work/abc.txt"
yes 'zmrgen memcheck' | head -c 3000000 >"$work/large.bin" || true
: >"$work/empty.bin"

failures=0
# check NAME EXPECTED_EXIT ARGS...
check() {
  local name=$1 expected=$2
  shift 2
  local log=$work/$name.valgrind status=0
  # A new session has no controlling terminal, so the final key wait
  # returns at once.
  (cd "$work" && setsid -w valgrind -q --error-exitcode=1 --leak-check=full \
    --show-leak-kinds=all --errors-for-leak-kinds=all --track-fds=yes \
    --log-file="$log" "$tool" "$@" >"$work/$name.out" 2>"$work/$name.err" </dev/null) ||
    status=$?
  # No descriptor the tool opened itself may still be open at exit
  # (valgrind lists every open one, marking those inherited from the shell).
  local leaked_fds
  leaked_fds=$(awk '/Open file descriptor/ { fd = 1; next }
    fd && /<inherited from parent>/ { fd = 0; next }
    fd && NF > 1 { n++; fd = 0 } END { print n + 0 }' "$log")
  if [ "$status" -ne "$expected" ] || [ "$leaked_fds" -ne 0 ] ||
    grep -qE '== (Invalid|Conditional|Syscall param|Mismatched)|definitely lost|indirectly lost' "$log" ||
    [ -s "$work/$name.err" ]; then
    echo "memcheck: $name FAILED (exit $status, expected $expected)"
    cat "$log" "$work/$name.err"
    failures=$((failures + 1))
  else
    echo "memcheck: $name clean (exit $status)"
  fi
}

check success-small 3 abc.txt
check success-large $((3000000 % 256)) large.bin
check digest-failure 255 empty.bin
check unreadable 0 missing.bin
check help 0 -h
check syntax-error 0
[ -f "$work/A9993E36.zmr" ] || { echo "memcheck: no record written"; failures=$((failures + 1)); }

echo "memcheck: $failures failure(s) in $((SECONDS - start)) s"
[ "$failures" -eq 0 ]
