#!/usr/bin/env bash
# Side-by-side speed comparison of zmrgen with OpenSSL and coreutils.
#
# Builds zmrgen and zmrgen_bench (Release) in their own build directory,
# writes a 536,870,911-byte file and a 4 KiB file under $TMPDIR (or /tmp),
# and prints, from runs interleaved in one session, the medians and the
# ratios the speed targets are stated in:
#
#   1. the whole tool on the large cached file against
#      "rhash --sha1 --sha512 F" (target <= 0.85),
#      "openssl dgst -sha1 F; openssl dgst -sha512 F" (target <= 0.7),
#      "openssl dgst -sha512 F" alone (target <= 1.15: two digests on two
#      cores cannot beat the slower one alone) and "sha1sum F; sha512sum F"
#      (target <= 0.6); the tool held to one processor against
#      "openssl dgst -sha512 F" held to the same one (target <= 1.15: one
#      reading pass for both digests, SHA-1 interleaved with SHA-512); and
#      its peak resident memory (target <= 4096 KiB);
#   2. compression throughput over 16 KiB messages against
#      "openssl speed -bytes 16384 sha1 sha512" (targets >= 1.0 and >= 1.1),
#      and both digests in one core against SHA-512's own path (target
#      >= 0.9);
#   3. the whole tool on a 4 KiB file against "sha1sum F; sha512sum F"
#      (target <= 1.0);
#   4. zmrcheck --find: over the large file against zmrgen on it (level),
#      and over 1,000 files of 4 KiB in one command against 1,000 runs of
#      "zmrcheck RECORD FILE" (several times faster);
#   5. zmrbatch, each run into an empty records folder: over the 1,000 files
#      of 4 KiB against 1,000 zmrgen runs (target <= 0.1); over 64 cached
#      files of 8 MiB against "ls | xargs -P2 -n8 openssl dgst -sha512"
#      (target <= 1.0), "rhash -r --sha1 --sha512" (target <= 0.5) and a
#      zmrgen loop; and its peak resident memory over 10,000 small files
#      (target < 16 MiB).
#
# Environment: RUNS (rounds per measurement, default 7), SMALL_LOOPS (runs per
# timing of the 4 KiB case, default 100), MANY (files in the --find case,
# default 1000), BUILD_DIR (default build/compare), TMPDIR.
#
# The script runs itself in a new session with no controlling terminal and
# standard input from /dev/null (setsid), so the tool's closing key wait
# returns at once, and every program measured runs under the same
# conditions.
set -euo pipefail

if [[ -z "${ZMRGEN_COMPARE_DETACHED:-}" ]]; then
  export ZMRGEN_COMPARE_DETACHED=1
  exec setsid -w "$0" "$@" </dev/null
fi

REPO=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$REPO/build/compare}
RUNS=${RUNS:-7}
SMALL_LOOPS=${SMALL_LOOPS:-100}
MANY=${MANY:-1000}
BIG_BYTES=536870911

for tool in cmake ninja openssl sha1sum sha512sum; do
  command -v "$tool" >/dev/null || { echo "compare.sh: $tool is missing" >&2; exit 1; }
done
if ! command -v rhash >/dev/null; then
  echo "Installing rhash for the one-pass comparison..."
  apt-get install -y -qq rhash >/dev/null 2>&1 ||
    { apt-get update -qq >/dev/null && apt-get install -y -qq rhash >/dev/null; }
fi
if [[ ! -x /usr/bin/time ]]; then
  echo "Installing GNU time for the peak memory figure..."
  apt-get install -y -qq time >/dev/null 2>&1 ||
    { apt-get update -qq >/dev/null && apt-get install -y -qq time >/dev/null; }
fi

echo "Building Release in $BUILD ..."
cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZMRGEN_BUILD_TESTS=OFF \
  >/dev/null
cmake --build "$BUILD" --target zmrgen zmrcheck zmrbatch zmrgen_bench >/dev/null
ZMRGEN=$BUILD/zmrgen
ZMRCHECK=$BUILD/zmrcheck
ZMRBATCH=$BUILD/zmrbatch
BENCH=$BUILD/zmrgen_bench

WORK=$(mktemp -d "${TMPDIR:-/tmp}/zmrgen-compare.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
BIG=$WORK/big.bin
SMALL=$WORK/small.bin
mkdir "$WORK/records"  # the tool writes its record file in its working directory
cd "$WORK/records"

echo "Writing the $BIG_BYTES-byte file in $WORK ..."
head -c "$BIG_BYTES" /dev/urandom >"$BIG"
head -c 4096 /dev/urandom >"$SMALL"
cat "$BIG" >/dev/null  # into the page cache
echo "Writing $MANY files of 4 KiB and their records ..."
mkdir "$WORK/many" "$WORK/many-records"
for ((i = 0; i < MANY; i++)); do head -c 4096 /dev/urandom >"$WORK/many/$i.bin"; done
(cd "$WORK/many-records" && for f in "$WORK"/many/*.bin; do "$ZMRGEN" "$f" >/dev/null || true; done)
# Each file with its record, as "zmrcheck RECORD FILE" is given them.
many_pairs=()
for f in "$WORK"/many/*.bin; do
  many_pairs+=("$WORK/many-records/$(sha1sum "$f" | cut -c1-8 | tr a-f A-F).zmr" "$f")
done

# ---- helpers ----

# Seconds taken by a command, its output discarded; a non-zero exit status
# is expected from zmrgen (it exits with the byte count).
seconds() {
  local t0=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || true
  echo "$EPOCHREALTIME - $t0" | bc -l
}

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
ratio() { echo "$1 / $2" | bc -l; }
verdict() { awk -v r="$1" -v op="$2" -v lim="$3" 'BEGIN {
  ok = (op == "<=") ? (r <= lim) : (r >= lim); printf "%s", ok ? "met" : "NOT met" }'; }

openssl_pair() { openssl dgst -sha1 "$1" && openssl dgst -sha512 "$1"; }
coreutils_pair() { sha1sum "$1" && sha512sum "$1"; }
rhash_pair() { rhash --sha1 --sha512 "$1"; }
openssl_sha512() { openssl dgst -sha512 "$1"; }
one_cpu() { taskset -c 0 "$@"; }
repeat() {
  local n=$1
  shift
  for ((i = 0; i < n; i++)); do "$@" >/dev/null 2>&1 || true; done
}
find_big() { "$ZMRCHECK" --find -d "$WORK/records" "$1"; }
find_many() { "$ZMRCHECK" --find -d "$WORK/many-records" "$WORK"/many/*.bin; }
# One "zmrcheck RECORD FILE" per file; fails when any does not match.
check_each() {
  local i
  for ((i = 0; i < ${#many_pairs[@]}; i += 2)); do
    "$ZMRCHECK" "${many_pairs[i]}" "${many_pairs[i + 1]}" || return 1
  done
}

# ---- correctness of what is timed ----

out=$("$ZMRGEN" "$BIG" || true)
want1=$(sha1sum "$BIG" | cut -c1-40 | tr a-f A-F)
want5=$(sha512sum "$BIG" | cut -c1-128 | tr a-f A-F)
got=$(printf '%s' "$out" | tr -d ' \n')
if [[ "$got" != *"$want1"*"$want5"* ]]; then
  echo "compare.sh: zmrgen's digests differ from sha1sum/sha512sum" >&2
  exit 1
fi
RECORD=$(ls "$WORK"/records/*.zmr)
if [[ "$("$ZMRCHECK" "$RECORD" "$BIG")" != "$BIG: OK" ]]; then
  echo "compare.sh: zmrcheck does not accept zmrgen's record" >&2
  exit 1
fi
if [[ "$("$ZMRCHECK" --find -d "$WORK/records" "$BIG")" != "$BIG: OK ($(basename "$RECORD"), "* ]]; then
  echo "compare.sh: zmrcheck --find does not find zmrgen's record" >&2
  exit 1
fi
if ! "$ZMRCHECK" --find --status -d "$WORK/many-records" "$WORK"/many/*.bin ||
  ! check_each >/dev/null; then
  echo "compare.sh: zmrcheck does not accept the records of the $MANY files" >&2
  exit 1
fi

# ---- 1. the large cached file ----

echo "Timing the large file, $RUNS rounds ..."
z=() o=() c=() k=() h=() x=() u=() f=() x1=()
# Each round starts one program later, so that none always runs first or
# always follows the same one.
order=(z f o h k x c)
for ((r = 0; r < RUNS; r++)); do
  for ((i = 0; i < ${#order[@]}; i++)); do
    case ${order[(i + r) % ${#order[@]}]} in
      z) z+=("$(seconds "$ZMRGEN" "$BIG")") ;;
      f) f+=("$(seconds find_big "$BIG")") ;;
      k) k+=("$(seconds "$ZMRCHECK" "$RECORD" "$BIG")") ;;
      o) o+=("$(seconds openssl_pair "$BIG")") ;;
      h) h+=("$(seconds rhash_pair "$BIG")") ;;
      x) x+=("$(seconds openssl_sha512 "$BIG")") ;;
      c) c+=("$(seconds coreutils_pair "$BIG")") ;;
    esac
  done
  u+=("$(seconds one_cpu "$ZMRGEN" "$BIG")")
  x1+=("$(seconds one_cpu openssl dgst -sha512 "$BIG")")
done
zm=$(median "${z[@]}") om=$(median "${o[@]}") cm=$(median "${c[@]}") km=$(median "${k[@]}")
hm=$(median "${h[@]}") xm=$(median "${x[@]}") um=$(median "${u[@]}") fm=$(median "${f[@]}")
x1m=$(median "${x1[@]}")
rss=()
for ((r = 0; r < 3; r++)); do
  rss+=("$({ /usr/bin/time -f %M "$ZMRGEN" "$BIG" 2>&1 >/dev/null || true; } | tail -n 1)")
done
rssm=$(median "${rss[@]}")

# ---- 2. compression throughput ----

echo "Timing the compression, $RUNS rounds ..."
b1=() b5=() bb=() s1=() s5=()
for ((r = 0; r < RUNS; r++)); do
  csv=$("$BENCH" --benchmark_filter='^(sha1|sha512|both)/dispatch$' --benchmark_min_time=1 \
    --benchmark_format=csv 2>/dev/null)
  b1+=("$(printf '%s\n' "$csv" | awk -F, '$1 == "\"sha1/dispatch\"" {printf "%.0f\n", $6}')")
  b5+=("$(printf '%s\n' "$csv" | awk -F, '$1 == "\"sha512/dispatch\"" {printf "%.0f\n", $6}')")
  bb+=("$(printf '%s\n' "$csv" | awk -F, '$1 == "\"both/dispatch\"" {printf "%.0f\n", $6}')")
  mr=$(openssl speed -mr -bytes 16384 -seconds 1 sha1 sha512 2>/dev/null)
  s1+=("$(printf '%s\n' "$mr" | awk -F: '$1 == "+F" && $3 == "sha1" {print $4}')")
  s5+=("$(printf '%s\n' "$mr" | awk -F: '$1 == "+F" && $3 == "sha512" {print $4}')")
done
b1m=$(median "${b1[@]}") b5m=$(median "${b5[@]}") s1m=$(median "${s1[@]}") s5m=$(median "${s5[@]}")
bbm=$(median "${bb[@]}")

# ---- 3. the 4 KiB file ----

echo "Timing the 4 KiB file, $RUNS rounds of $SMALL_LOOPS runs ..."
zs=() cs=()
for ((r = 0; r < RUNS; r++)); do
  zs+=("$(seconds repeat "$SMALL_LOOPS" "$ZMRGEN" "$SMALL")")
  cs+=("$(seconds repeat "$SMALL_LOOPS" coreutils_pair "$SMALL")")
done
zsm=$(median "${zs[@]}") csm=$(median "${cs[@]}")

# The same with the record written to a memory file system, when there is
# one: the record stage syncs its file and folder to the disk, and on a
# real disk that can outweigh everything else in a small run.
zshm=""
if [[ -d /dev/shm && -w /dev/shm ]]; then
  SHM=$(mktemp -d /dev/shm/zmrgen-compare.XXXXXX)
  trap 'rm -rf "$WORK" "$SHM"' EXIT
  zt=()
  for ((r = 0; r < RUNS; r++)); do
    zt+=("$(cd "$SHM" && seconds repeat "$SMALL_LOOPS" "$ZMRGEN" "$SMALL")")
  done
  zshm=$(median "${zt[@]}")
fi

# ---- 4. zmrcheck --find over many small files ----

echo "Timing zmrcheck --find over $MANY files of 4 KiB, $RUNS rounds ..."
fs=() es=()
for ((r = 0; r < RUNS; r++)); do
  if ((r % 2 == 0)); then
    fs+=("$(seconds find_many)"); es+=("$(seconds check_each)")
  else
    es+=("$(seconds check_each)"); fs+=("$(seconds find_many)")
  fi
done
fsm=$(median "${fs[@]}") esm=$(median "${es[@]}")

# ---- 5. zmrbatch ----

echo "Writing 64 files of 8 MiB and 10,000 small files ..."
mkdir "$WORK/mid" "$WORK/tenk"
for ((i = 0; i < 64; i++)); do head -c 8388608 /dev/urandom >"$WORK/mid/$i.bin"; done
cat "$WORK"/mid/*.bin >/dev/null
for ((i = 0; i < 10000; i++)); do printf 'document %d\n' "$i" >"$WORK/tenk/$i"; done
# Each run records into a folder of its own, emptied first.
fresh() { rm -rf "$WORK/out" && mkdir "$WORK/out" && cd "$WORK/out"; }
batch_many() { fresh && "$ZMRBATCH" -q -r "$WORK/many"; }
zmrgen_many() { fresh && for f in "$WORK"/many/*.bin; do "$ZMRGEN" "$f" || true; done; }
batch_mid() { fresh && "$ZMRBATCH" -q -r "$WORK/mid"; }
zmrgen_mid() { fresh && for f in "$WORK"/mid/*.bin; do "$ZMRGEN" "$f" || true; done; }
xargs_mid() { (cd "$WORK/mid" && ls | xargs -P2 -n8 openssl dgst -sha512); }
rhash_mid() { rhash -r --sha1 --sha512 "$WORK/mid"; }
echo "Timing zmrbatch, $RUNS rounds ..."
bm=() gm=() bd=() gd=() xd=() hd=()
for ((r = 0; r < RUNS; r++)); do
  bm+=("$(seconds batch_many)"); gm+=("$(seconds zmrgen_many)")
  bd+=("$(seconds batch_mid)"); xd+=("$(seconds xargs_mid)"); hd+=("$(seconds rhash_mid)")
  gd+=("$(seconds zmrgen_mid)")
done
bmm=$(median "${bm[@]}") gmm=$(median "${gm[@]}") bdm=$(median "${bd[@]}")
xdm=$(median "${xd[@]}") hdm=$(median "${hd[@]}") gdm=$(median "${gd[@]}")
fresh
batch_rss=$({ /usr/bin/time -f %M "$ZMRBATCH" -q -r "$WORK/tenk" 2>&1 >/dev/null || true; } | tail -n 1)
cd "$WORK/records"

# ---- report ----

cpu=$(awk -F': *' '/^model name/ {print $2; exit}' /proc/cpuinfo)
paths=$("$BENCH" --benchmark_filter='^sha1/dispatch$' --benchmark_min_time=0.01 2>&1 |
  awk -F': ' '/ dispatch: / {printf "%s %s; ", $1, $2}')
echo
echo "CPU: $cpu ($(nproc) cores); paths: ${paths%; }"
echo "Medians of $RUNS interleaved rounds."
echo
printf '%-44s %10s %10s  %s\n' "measure" "zmrgen" "other" "ratio (target)"
r1=$(ratio "$zm" "$om") r2=$(ratio "$zm" "$cm") rh=$(ratio "$zm" "$hm") rx=$(ratio "$zm" "$xm")
printf '%-44s %9.3fs %9.3fs  %.2f (<= 0.85, %s)\n' "536,870,911 B vs rhash --sha1 --sha512" \
  "$zm" "$hm" "$rh" "$(verdict "$rh" "<=" 0.85)"
printf '%-44s %9.3fs %9.3fs  %.2f (<= 0.7, %s)\n' "536,870,911 B vs openssl dgst pair" \
  "$zm" "$om" "$r1" "$(verdict "$r1" "<=" 0.7)"
printf '%-44s %9.3fs %9.3fs  %.2f (<= 1.15, %s)\n' "536,870,911 B vs openssl dgst -sha512 alone" \
  "$zm" "$xm" "$rx" "$(verdict "$rx" "<=" 1.15)"
ru=$(ratio "$um" "$x1m")
printf '%-44s %9.3fs %9.3fs  %.2f (<= 1.15, %s)\n' "536,870,911 B, one CPU vs openssl -sha512" \
  "$um" "$x1m" "$ru" "$(verdict "$ru" "<=" 1.15)"
printf '%-44s %9.3fs %9.3fs  %.2f (<= 0.6, %s)\n' "536,870,911 B vs sha1sum+sha512sum" \
  "$zm" "$cm" "$r2" "$(verdict "$r2" "<=" 0.6)"
rk=$(ratio "$km" "$zm")
printf '%-44s %9.3fs %9.3fs  %.2f (<= 1.0, %s)\n' "536,870,911 B, zmrcheck (left) vs zmrgen" \
  "$km" "$zm" "$rk" "$(verdict "$rk" "<=" 1.0)"
rf=$(ratio "$fm" "$zm")
printf '%-44s %9.3fs %9.3fs  %.2f (level)\n' "536,870,911 B, --find (left) vs zmrgen" \
  "$fm" "$zm" "$rf"
printf '%-44s %8d KiB %10s  (<= 4096 KiB, %s)\n' "peak resident memory" "$rssm" "" \
  "$(verdict "$rssm" "<=" 4096)"
r3=$(ratio "$b1m" "$s1m") r4=$(ratio "$b5m" "$s5m")
printf '%-44s %7.0f MB/s %5.0f MB/s  %.2f (>= 1.0, %s)\n' "SHA-1 compression vs openssl speed" \
  "$(echo "$b1m / 1000000" | bc -l)" "$(echo "$s1m / 1000000" | bc -l)" "$r3" \
  "$(verdict "$r3" ">=" 1.0)"
printf '%-44s %7.0f MB/s %5.0f MB/s  %.2f (>= 1.1, %s)\n' "SHA-512 compression vs openssl speed" \
  "$(echo "$b5m / 1000000" | bc -l)" "$(echo "$s5m / 1000000" | bc -l)" "$r4" \
  "$(verdict "$r4" ">=" 1.1)"
rb=$(ratio "$bbm" "$b5m")
printf '%-44s %7.0f MB/s %5.0f MB/s  %.2f (>= 0.9, %s)\n' "both digests in one core vs SHA-512's" \
  "$(echo "$bbm / 1000000" | bc -l)" "$(echo "$b5m / 1000000" | bc -l)" "$rb" \
  "$(verdict "$rb" ">=" 0.9)"
r5=$(ratio "$zsm" "$csm")
printf '%-44s %8.2fms %8.2fms  %.2f (<= 1.0, %s)\n' "4 KiB file vs sha1sum+sha512sum (per run)" \
  "$(echo "$zsm * 1000 / $SMALL_LOOPS" | bc -l)" "$(echo "$csm * 1000 / $SMALL_LOOPS" | bc -l)" \
  "$r5" "$(verdict "$r5" "<=" 1.0)"
if [[ -n "$zshm" ]]; then
  r6=$(ratio "$zshm" "$csm")
  printf '%-44s %8.2fms %8.2fms  %.2f\n' "  the same, record written to /dev/shm" \
    "$(echo "$zshm * 1000 / $SMALL_LOOPS" | bc -l)" "$(echo "$csm * 1000 / $SMALL_LOOPS" | bc -l)" \
    "$r6"
fi
rm=$(ratio "$fsm" "$esm")
printf '%-44s %9.3fs %9.3fs  %.2f (<= 0.5, %s)\n' \
  "$MANY x 4 KiB: one --find vs $MANY runs" "$fsm" "$esm" "$rm" \
  "$(verdict "$rm" "<=" 0.5)"
r7=$(ratio "$bmm" "$gmm")
printf '%-44s %9.3fs %9.3fs  %.3f (<= 0.1, %s)\n' "$MANY x 4 KiB: zmrbatch vs $MANY zmrgen runs" \
  "$bmm" "$gmm" "$r7" "$(verdict "$r7" "<=" 0.1)"
r8=$(ratio "$bdm" "$xdm") r9=$(ratio "$bdm" "$hdm") r10=$(ratio "$gdm" "$xdm")
printf '%-44s %9.3fs %9.3fs  %.2f (<= 1.0, %s)\n' "64 x 8 MiB: zmrbatch vs xargs -P2 openssl -sha512" \
  "$bdm" "$xdm" "$r8" "$(verdict "$r8" "<=" 1.0)"
printf '%-44s %9.3fs %9.3fs  %.2f (<= 0.5, %s)\n' "64 x 8 MiB: zmrbatch vs rhash -r --sha1 --sha512" \
  "$bdm" "$hdm" "$r9" "$(verdict "$r9" "<=" 0.5)"
printf '%-44s %9.3fs %9.3fs  %.2f\n' "64 x 8 MiB: a zmrgen loop vs xargs openssl" "$gdm" "$xdm" "$r10"
printf '%-44s %8d KiB %10s  (< 16384 KiB, %s)\n' "zmrbatch peak memory, 10,000 files" \
  "$batch_rss" "" "$(verdict "$batch_rss" "<=" 16383)"
echo
echo "Record files were written in $WORK/records ($(df -T "$WORK" | awk 'NR == 2 {print $2}'))."
