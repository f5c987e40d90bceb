#!/usr/bin/env bash
# CI leg: the record on real file systems. As root it makes small sparse
# images and mounts ext4, XFS and btrfs on loop devices, tmpfs, overlayfs, and
# through FUSE ntfs-3g, bindfs, exFAT and FAT, and on each runs one table with
# the built programs:
#   plain      a run leaves a record that `zmrcheck RECORD FILE` accepts, and
#              no temporary file;
#   renew      a second run over the same content renews the record (a later
#              creation time);
#   collision  a file of other content whose record name collides leaves the
#              record byte for byte as it was, and the run says so;
#   reads      thirty runs over fresh small files each print the digests of
#              their content (fusefat garbles reads that overlap in time);
#   change     a file overwritten in place (a few bytes at an offset) at
#              several moments through a run gets no record or a record wholly
#              of the old or of the new content, never one pairing the digests
#              of two contents; at least one write must land during a run.
# Any miss fails the leg. A file system that cannot be mounted here (not root,
# no /dev/fuse, no loop device, no kernel support) is named as skipped, with
# the reason. Everything mounted is unmounted on every exit path.
#
#   .ci/filesystems.sh [BUILD_DIR]     (default build/release, built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/packages.sh
export PATH="$PATH:/usr/local/sbin:/usr/sbin:/sbin"

build=${1:-build/release}
start=$SECONDS
ALL=(ext4 xfs btrfs tmpfs overlay ntfs-3g bindfs exfat fat)
ran=0
failures=0
skipped=()

say() { echo "filesystems: $*"; }
skip() {
  say "$1: skipped: $2"
  skipped+=("$1")
}
finish() {
  local note=""
  [ ${#skipped[@]} -eq 0 ] || note=" (skipped: ${skipped[*]})"
  say "ran $ran of ${#ALL[@]} file systems$note, $failures failure(s), in $((SECONDS - start)) s"
  [ "$failures" -eq 0 ]
}

if [ "$(id -u)" -ne 0 ]; then
  for fs in "${ALL[@]}"; do skip "$fs" "not root"; done
  finish
  exit
fi

need_packages setsid util-linux losetup mount mkfs.ext4 e2fsprogs mkfs.xfs xfsprogs \
  mkfs.btrfs btrfs-progs mkfs.ntfs ntfs-3g ntfs-3g ntfs-3g bindfs bindfs \
  mount.exfat-fuse exfat-fuse mkfs.exfat exfatprogs fusefat fusefat mkfs.vfat dosfstools \
  fusermount fuse3

work=$(mktemp -d "${TMPDIR:-/tmp}/zmrgen-filesystems.XXXXXX")
log=$work/log
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset release -B "$build" >"$log" 2>&1 || { cat "$log"; exit 1; }
fi
cmake --build "$build" --target zmrgen zmrcheck >"$log" 2>&1 || { cat "$log"; exit 1; }
zmrgen=$(cd "$build" && pwd)/zmrgen
zmrcheck=$(cd "$build" && pwd)/zmrcheck

# What is mounted and attached now, undone last first; the tool run of a
# change trial, ended if the leg is.
mounts=()
loops=()
tool_pid=
teardown() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    if mountpoint -q "${mounts[i]}"; then
      umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" 2>/dev/null ||
        say "cannot unmount ${mounts[i]}"
    fi
  done
  for ((i = ${#loops[@]} - 1; i >= 0; i--)); do
    losetup -d "${loops[i]}" 2>/dev/null || say "cannot detach ${loops[i]}"
  done
  mounts=()
  loops=()
  rm -f "$work"/*.img
}
on_exit() {
  if [ -n "$tool_pid" ]; then
    # The tool, then the subshell that waits for it.
    pkill -TERM -P "$tool_pid" 2>/dev/null || true
    kill "$tool_pid" 2>/dev/null || true
    wait "$tool_pid" 2>/dev/null || true
  fi
  teardown
  # Never into a file system that is still mounted below.
  rm -rf --one-file-system "$work"
}
trap on_exit EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# The content of the change trials: 64 MiB, and the same with 8 bytes at an
# unaligned offset well into the file replaced. The tool reads the file more
# than once (the third pass begins after the SHA-1 pass has ended), so a
# write there before the passes reach it leaves a record of the new content,
# one after the last pass has read it a record of the old, and one between
# no record.
patch_at=$((40 * 1024 * 1024 + 5))
dd if=/dev/urandom of="$work/old.bin" bs=1M count=64 status=none
dd if="$work/old.bin" of="$work/old.patch" bs=8 count=1 skip="$patch_at" iflag=skip_bytes status=none
printf 'CHANGED!' >"$work/new.patch"
patch_file() { # FILE PATCH
  dd if="$2" of="$1" bs=8 seek="$patch_at" oflag=seek_bytes conv=notrunc status=none
}
cp "$work/old.bin" "$work/new.bin"
patch_file "$work/new.bin" "$work/new.patch"
digests() { # FILE -> "SHA1 SHA512", uppercase as in a record
  local sha1 sha512
  sha1=$(sha1sum <"$1")
  sha512=$(sha512sum <"$1")
  echo "${sha1%% *} ${sha512%% *}" | tr a-f A-F
}
old_digests=$(digests "$work/old.bin")
new_digests=$(digests "$work/new.bin")
rm "$work/new.bin"
# Moments of a write, in hundredths of an undisturbed run's time: before the
# tool reads, through the run, and after it.
moments=(0 10 25 40 55 70 85 150)

# Two short texts whose SHA-1 digests begin with the same word, A193CC33.
collide_first=$'document-47964\n'
collide_second=$'document-73819\n'
collide_record=A193CC33.zmr
collide_message=" A file of other content has that name; it was left as it was."

# run_tool DIR FILE: one run without a terminal; its output goes to
# $work/out. The exit status is the byte count, so it is not judged.
run_tool() {
  (cd "$1" && setsid -w "$zmrgen" "$2" </dev/null >"$work/out" 2>&1) || true
}
# What the last run said went wrong: the line after its error banner, or
# "File error.", or that it said neither.
said() {
  local line
  line=$(sed -n '/\*\*\*\*\* .*ERROR/{n;p;q}' "$work/out")
  if [ -n "$line" ]; then
    echo "the run said '$line'"
  elif grep -q '^File error\.' "$work/out"; then
    echo "the run said 'File error.'"
  else
    echo "the run reported no error"
  fi
}
temporaries() { # DIR -> the temporary files left in it
  compgen -G "$1/.????????.zmr.*" | tr '\n' ' ' || true
}
# record_field RECORD NAME: a field as zmrcheck shows it.
record_field() {
  "$zmrcheck" "$1" 2>/dev/null | sed -n "s/^$2: //p" || true
}

# row_fail ROW MESSAGE: one line per failed row.
row_fail() {
  say "$fs: $1 FAILED: $2"
  failures=$((failures + 1))
  result+=" $1 FAILED,"
}

# table MOUNTPOINT: the five rows on one file system, then one line.
table() {
  local mnt=$1 dir rec out
  result=""

  # plain
  dir=$mnt/plain
  mkdir "$dir"
  printf 'abc' >"$dir/abc.txt"
  run_tool "$dir" abc.txt
  rec=$dir/A9993E36.zmr
  out=$(temporaries "$dir")
  if [ ! -f "$rec" ]; then
    row_fail plain "no record A9993E36.zmr; $(said)"
  elif ! "$zmrcheck" "$rec" "$dir/abc.txt" >/dev/null 2>&1; then
    row_fail plain "zmrcheck refuses the record"
  elif [ -n "$out" ]; then
    row_fail plain "temporary file left: $out"
  else
    result+=" plain ok,"
  fi

  # collision
  dir=$mnt/collision
  mkdir "$dir"
  printf '%s' "$collide_first" >"$dir/first.txt"
  printf '%s' "$collide_second" >"$dir/second.txt"
  run_tool "$dir" first.txt
  if [ ! -f "$dir/$collide_record" ]; then
    row_fail collision "the first text's record $collide_record was not written; $(said)"
  else
    cp "$dir/$collide_record" "$work/collide.zmr"
    run_tool "$dir" second.txt
    out=$(temporaries "$dir")
    if ! cmp -s "$dir/$collide_record" "$work/collide.zmr"; then
      row_fail collision "the first text's record was changed"
    elif ! grep -qxF "$collide_message" "$work/out"; then
      row_fail collision "the run did not say the name is taken; $(said)"
    elif [ -n "$out" ]; then
      row_fail collision "temporary file left: $out"
    else
      result+=" collision ok,"
    fi
  fi

  # reads: fresh small files, each digested right. fusefat answers reads that
  # overlap in time with wrong bytes, and the two passes read side by side
  # wherever that is safe.
  dir=$mnt/reads
  mkdir "$dir"
  local i wrong=0
  for ((i = 0; i < 30; i++)); do
    printf 'abc' >"$dir/abc$i.txt"
    run_tool "$dir" "abc$i.txt"
    grep -qx 'A9993E36 4706816A BA3E2571 7850C26C 9CD0D89D ' "$work/out" || wrong=$((wrong + 1))
    rm -f "$dir"/*.zmr
  done
  if [ "$wrong" -gt 0 ]; then
    row_fail reads "$wrong of 30 runs over 'abc' printed another SHA-1 digest"
  else
    result+=" reads ok,"
  fi

  # renew: a second run once the clock has passed the first record's second.
  dir=$mnt/plain
  rec=$dir/A9993E36.zmr
  if [ ! -f "$rec" ]; then
    row_fail renew "no first record to renew"
  else
    local created created_at now renewed
    created=$(record_field "$rec" created)
    created_at=$(date -u -d "$created" +%s 2>/dev/null || echo 0)
    now=$(date +%s)
    while [ "$now" -le "$created_at" ]; do
      sleep 0.1
      now=$(date +%s)
    done
    run_tool "$dir" abc.txt
    renewed=$(record_field "$rec" created)
    out=$(temporaries "$dir")
    if [ ! -f "$rec" ]; then
      row_fail renew "the record is gone; $(said)"
    elif [ "$created_at" -eq 0 ] || [[ ! $renewed > $created ]]; then
      row_fail renew "created '$created' before, '$renewed' after; $(said)"
    elif ! "$zmrcheck" "$rec" "$dir/abc.txt" >/dev/null 2>&1; then
      row_fail renew "zmrcheck refuses the renewed record"
    elif [ -n "$out" ]; then
      row_fail renew "temporary file left: $out"
    else
      result+=" renew ok,"
    fi
  fi

  change_row "$mnt/change"
  say "$fs:${result%,}"
}

# change_row DIR: the change trials. An undisturbed run first, which must
# leave the old content's record and gives the run's time; then one trial per
# moment, the file restored before each.
change_row() {
  local dir=$1 file=$1/big.bin
  mkdir "$dir"
  cp "$work/old.bin" "$file"
  local t0=${EPOCHREALTIME/./}
  run_tool "$dir" big.bin
  local run_us=$((${EPOCHREALTIME/./} - t0))
  if ! "$zmrcheck" "$dir/${old_digests:0:8}.zmr" "$file" >/dev/null 2>&1; then
    row_fail change "an undisturbed run left no record of the file; $(said)"
    return
  fi
  local none=0 old=0 new=0 landed=0 misses=0 first_miss="" moment
  for moment in "${moments[@]}"; do
    rm -f "$dir"/*.zmr
    patch_file "$file" "$work/old.patch"
    local delay_us=$((run_us * moment / 100)) end_us written_us
    (
      cd "$dir" || exit
      setsid -w "$zmrgen" big.bin </dev/null >"$work/out" 2>&1 || true
      echo "${EPOCHREALTIME/./}" >"$work/end"
    ) &
    tool_pid=$!
    sleep "$(printf '%d.%06d' $((delay_us / 1000000)) $((delay_us % 1000000)))"
    patch_file "$file" "$work/new.patch"
    written_us=${EPOCHREALTIME/./}
    wait "$tool_pid" || true
    tool_pid=
    end_us=$(cat "$work/end")
    [ "$moment" -eq 0 ] || [ "$written_us" -ge "$end_us" ] || landed=$((landed + 1))

    local records=() miss="" rec fields
    shopt -s nullglob
    records=("$dir"/*.zmr)
    shopt -u nullglob
    local left
    left=$(temporaries "$dir")
    if [ -n "$left" ]; then
      miss="temporary file left: $left"
    elif [ ${#records[@]} -eq 0 ]; then
      if grep -q '^File error\.' "$work/out"; then
        none=$((none + 1))
      else
        miss="no record and no 'File error.'; $(said)"
      fi
    elif [ ${#records[@]} -gt 1 ]; then
      miss="more than one record: ${records[*]##*/}"
    else
      rec=${records[0]}
      fields="$(record_field "$rec" SHA-1) $(record_field "$rec" SHA-512)"
      if [ "$fields" = "$old_digests" ] && [ "${rec##*/}" = "${old_digests:0:8}.zmr" ]; then
        old=$((old + 1))
      elif [ "$fields" = "$new_digests" ] && [ "${rec##*/}" = "${new_digests:0:8}.zmr" ]; then
        new=$((new + 1))
      else
        miss="record ${rec##*/} is of neither content: SHA-1 ${fields%% *}, SHA-512 ${fields#* }"
      fi
    fi
    if [ -n "$miss" ]; then
      misses=$((misses + 1))
      [ -n "$first_miss" ] || first_miss="write after ${moment}% of the run: $miss"
    fi
  done
  local counts="${#moments[@]} trials: $none no record, $old old, $new new; $landed written during the run"
  counts+=", undisturbed run $((run_us / 1000)) ms"
  if [ "$misses" -gt 0 ]; then
    row_fail change "$misses of ${#moments[@]} trials missed, first: $first_miss"
    result+=" ($counts)"
  elif [ "$landed" -eq 0 ]; then
    row_fail change "no write landed during a run, so nothing was tried ($counts)"
  else
    result+=" change ok ($counts)"
  fi
}

# Preconditions: mounting at all, loop devices, FUSE.
probe=$work/probe
mkdir "$probe"
can_mount=yes
if mount -t tmpfs -o size=1M zmrgen-probe "$probe" 2>/dev/null; then
  umount "$probe"
else
  can_mount=no
fi
have_fuse=yes
[ -c /dev/fuse ] || have_fuse=no
have_loop=yes
losetup -f >/dev/null 2>&1 || have_loop=no

# mount_FS MOUNTPOINT: mounts one file system, registering what teardown
# undoes; on failure says why on stdout and returns 1, or 2 when this machine
# cannot mount it at all. (Called in a condition, so set -e does not act in
# them: every step checks its own status.)
image() { # SIZE MKFS...: a sparse image made with MKFS, at $img
  img=$work/$fs.img
  truncate -s "$1" "$img" || return 1
  shift
  "$@" "$img" >"$log" 2>&1 || { cat "$log"; return 1; }
}
on_loop() { # TYPE MOUNTPOINT: $img on a loop device
  local dev
  dev=$(losetup -f --show "$img" 2>"$log") || { echo "no loop device: $(cat "$log")"; return 2; }
  loops+=("$dev")
  mounts+=("$2")
  mount -t "$1" "$dev" "$2" 2>"$log" || no_kernel_support "$1"
}
no_kernel_support() { # TYPE: after a failed mount, whether the kernel lacks TYPE
  if ! grep -qw "$1" /proc/filesystems; then
    echo "the kernel has no $1"
    return 2
  fi
  cat "$log"
  return 1
}
fuse_mount() { # MOUNTPOINT COMMAND...: a FUSE daemon, its output in a log
  local mnt=$1
  shift
  mounts+=("$mnt")
  "$@" >"$work/$fs.daemon.log" 2>&1 </dev/null || { cat "$work/$fs.daemon.log"; return 1; }
  mountpoint -q "$mnt" || { echo "not mounted after $1"; return 1; }
}
mount_ext4() { image 128M mkfs.ext4 -q -F && on_loop ext4 "$1"; }
mount_xfs() { image 300M mkfs.xfs -q -f && on_loop xfs "$1"; }
mount_btrfs() { image 256M mkfs.btrfs -q -f && on_loop btrfs "$1"; }
mount_tmpfs() {
  mounts+=("$1")
  mount -t tmpfs -o size=160M zmrgen-tmpfs "$1" 2>&1
}
mount_overlay() {
  local base=$work/overlay-base
  mkdir -p "$base" || return 1
  mounts+=("$base")
  mount -t tmpfs -o size=160M zmrgen-overlay-base "$base" 2>&1 || return 1
  mkdir "$base/lower" "$base/upper" "$base/work" || return 1
  mounts+=("$1")
  mount -t overlay zmrgen-overlay -o "lowerdir=$base/lower,upperdir=$base/upper,workdir=$base/work" \
    "$1" 2>"$log" || no_kernel_support overlay
}
mount_ntfs-3g() { image 160M mkfs.ntfs -Q -F -q && fuse_mount "$1" ntfs-3g "$img" "$1"; }
mount_bindfs() {
  mkdir -p "$work/bindfs-source" || return 1
  fuse_mount "$1" bindfs "$work/bindfs-source" "$1"
}
# mount.exfat-fuse mounts block devices only.
mount_exfat() {
  local dev
  image 160M mkfs.exfat || return 1
  dev=$(losetup -f --show "$img" 2>"$log") || { echo "no loop device: $(cat "$log")"; return 2; }
  loops+=("$dev")
  fuse_mount "$1" mount.exfat-fuse "$dev" "$1"
}
# fusefat writes only with rw+. It is mounted as a user would, with its
# asynchronous reads, which answer reads that overlap in time with wrong
# bytes: the reads row shows that the tool never overlaps them there.
mount_fat() { image 160M mkfs.vfat && fuse_mount "$1" fusefat -o rw+ "$img" "$1"; }

for fs in "${ALL[@]}"; do
  case $fs in
    ext4 | xfs | btrfs) need=loop ;;
    exfat) need="loop fuse" ;;
    ntfs-3g | bindfs | fat) need=fuse ;;
    *) need="" ;;
  esac
  if [ "$can_mount" = no ]; then
    skip "$fs" "mounting is not permitted here"
    continue
  elif [[ $need == *loop* ]] && [ "$have_loop" = no ]; then
    skip "$fs" "no loop device"
    continue
  elif [[ $need == *fuse* ]] && [ "$have_fuse" = no ]; then
    skip "$fs" "no /dev/fuse"
    continue
  fi
  mnt=$work/mnt-$fs
  mkdir "$mnt"
  status=0
  "mount_$fs" "$mnt" >"$work/reason" || status=$?
  reason=$(tr '\n' ' ' <"$work/reason")
  if [ "$status" -eq 2 ]; then
    skip "$fs" "$reason"
  elif [ "$status" -ne 0 ]; then
    say "$fs: FAILED: cannot mount: $reason"
    failures=$((failures + 1))
  else
    ran=$((ran + 1))
    table "$mnt"
  fi
  teardown
done
finish
