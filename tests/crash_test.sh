#!/usr/bin/env bash
# Crash-consistency test: what a crash soon after a conversion leaves at the output's name.
# Usage: tests/crash_test.sh TOOL   (as root; TOOL is the built vyk_pic_convert)
# On ext4, xfs and btrfs, for a new output and for one replacing an older output, a crash at each
# of a few moments after the run may leave the name holding nothing (new output only), the whole
# old BMP (replacement only) or the whole new one; never an empty, short or mixed file, and never
# a leftover temporary name. Exits 0 if every cell holds to that, 1 if any does not, 77 (skipped)
# without root or the tools to make file systems on loop devices.
set -uo pipefail

tool=$(realpath -e "${1:-}" 2>/dev/null) || tool=""
if [ ! -x "$tool" ]; then
  echo "usage: $0 TOOL (the built vyk_pic_convert)" >&2
  exit 2
fi
skip() { echo "crash_test: skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root, for loop devices and mounts"
for command in mkfs.ext4 mkfs.xfs mkfs.btrfs losetup; do
  command -v "$command" >/dev/null || skip "$command is missing"
done
losetup -f >/dev/null 2>&1 || skip "no free loop device"

file_systems=(ext4 xfs btrfs)
cases=(new replace)
# A copy of the image at each moment is what a crash then would leave: the loop device is
# buffered, so the backing file holds exactly what the file system had submitted. "run" is just
# after the tool exits; "fsync" just after an fsync of another file, which commits the journal
# (or log) with the tool's link or swap in it; 1s and 3s that long after it, still before the
# file systems' own timers (ext4's 5 s commit, 30 s for dirty data) would write anything; and
# "synced" after a sync, when the new output must be there whole.
moments=(run fsync 1s 3s synced)
bmp_size=786486

# On disk under TMPDIR rather than in memory: the images are sparse, but each cell keeps a few
# copies of up to 70 MiB of data (xfs's zeroed log) at once, three cells at a time.
work=$(mktemp -d "${TMPDIR:-/tmp}/crash_test.XXXXXX")
jobs=()
# shellcheck disable=SC2317 # run by the trap
finish() {
  # Each job releases its own mount and loop device on TERM.
  for pid in "${jobs[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  wait
  rm -rf --one-file-system "$work"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# References made on the normal file system; old and new pictures must differ for a mix of the
# two, or the old one in place of the new, to show.
head -c 262144 /dev/urandom >"$work/new.raw"
head -c 262144 /dev/urandom >"$work/old.raw"
if ! "$tool" "$work/new.raw" || ! "$tool" "$work/old.raw" ||
  [ "$(stat -c %s "$work/new.raw.bmp")" -ne $bmp_size ] ||
  cmp -s "$work/new.raw.bmp" "$work/old.raw.bmp"; then
  echo "crash_test: the tool does not convert on the normal file system" >&2
  exit 1
fi

# A job's one loop device and mount at a time, released by release (also on the job's exit).
loop="" loop_type="" mounted=""
mount_image() { # IMAGE DIR TYPE
  loop_type=$3
  loop=$(losetup --show -f "$1") && mount -t "$3" "$loop" "$2" && mounted=$2
}
release() {
  [ -z "$mounted" ] || umount "$mounted" || umount -l "$mounted"
  mounted=""
  [ -z "$loop" ] && return
  # A kernel that keeps an unmounted btrfs device registered refuses a copy of it with an older
  # generation on another device: to btrfs, the same file system.
  [ "$loop_type" != btrfs ] || btrfs device scan --forget "$loop" >/dev/null 2>&1
  losetup -d "$loop"
  loop=""
}

# Copies the image until two copies in a row agree: a single read of a mounted file system's
# image can be torn by writes landing meanwhile. cp reads only the data extents of a sparse file.
snapshot() { # IMAGE COPY
  local try
  cp --sparse=always "$1" "$2" || return 1
  for try in 1 2 3 4 5 6 7 8 9 10; do
    cp --sparse=always "$1" "$2.again" || return 1
    cmp -s "$2" "$2.again" && { rm "$2.again"; return 0; }
    mv "$2.again" "$2"
    echo "$2: read again ($try)" >>"$work/rereads"
  done
  rm -f "$2" "$2.again"
  return 1
}

check_copy() { # FS IMAGE
  case $1 in
    ext4) e2fsck -fn "$2" ;;
    xfs) xfs_repair -n -f "$2" ;;
    btrfs) btrfs check --readonly "$2" ;;
  esac >/dev/null 2>&1
}

# What the name holds in a crash copy, after mounting it read-write so that its journal is
# replayed as at boot; the checker then runs on the copy unmounted.
held() { # FS IMAGE DIR
  local name=$3/pic.raw.bmp what
  mount_image "$2" "$3" "$1" 2>/dev/null || { release 2>/dev/null; echo unmountable; return; }
  if [ ! -e "$name" ]; then what=none
  elif cmp -s "$name" "$work/new.raw.bmp"; then what=new
  elif cmp -s "$name" "$work/old.raw.bmp"; then what=old
  elif [ ! -s "$name" ]; then what=empty
  elif [ "$(stat -c %s "$name")" -lt $bmp_size ]; then what=short
  else what=mixed
  fi
  compgen -G "$3/.vyk_pic_convert-*" >/dev/null && what+=+temporary
  release
  check_copy "$1" "$2" || what+=+checker
  echo "$what"
}

# One cell: a fresh file system of type FS, one run of the tool on it, copies at each moment.
cell() { # FS CASE
  local fs=$1 kind=$2 dir=$work/$1-$2 moment what allowed force=-f
  mkdir -p "$dir/mnt"
  truncate -s 300M "$dir/fs.img" # the least mkfs.xfs takes
  [ "$fs" = ext4 ] && force=-F
  if ! mkfs."$fs" -q "$force" "$dir/fs.img" >"$dir/log" 2>&1 ||
    ! mount_image "$dir/fs.img" "$dir/mnt" "$fs" 2>>"$dir/log"; then
    cat "$dir/log" >&2
    release
    for moment in "${moments[@]}"; do echo "$fs $kind $moment setup-failed!" >>"$work/results"; done
    return
  fi
  cp "$work/new.raw" "$dir/mnt/pic.raw"
  [ "$kind" = replace ] && cp "$work/old.raw.bmp" "$dir/mnt/pic.raw.bmp"
  sync -f "$dir/mnt"
  "$tool" "$dir/mnt/pic.raw" || echo "crash_test: $fs $kind: the tool failed" >&2
  snapshot "$dir/fs.img" "$dir/run.img"
  dd if=/dev/zero of="$dir/mnt/other" bs=4k count=1 conv=fsync status=none
  snapshot "$dir/fs.img" "$dir/fsync.img"
  sleep 1
  snapshot "$dir/fs.img" "$dir/1s.img"
  sleep 2
  snapshot "$dir/fs.img" "$dir/3s.img"
  sync -f "$dir/mnt"
  snapshot "$dir/fs.img" "$dir/synced.img"
  release
  rm "$dir/fs.img"
  for moment in "${moments[@]}"; do
    if [ ! -e "$dir/$moment.img" ]; then
      what=unstable-copy
    else
      what=$(held "$fs" "$dir/$moment.img" "$dir/mnt")
    fi
    rm -f "$dir/$moment.img"
    allowed="new"
    [ "$moment" = synced ] || allowed+=" $([ "$kind" = new ] && echo none || echo old)"
    [[ " $allowed " = *" $what "* ]] || what+="!"
    echo "$fs $kind $moment $what" >>"$work/results"
  done
}

for fs in "${file_systems[@]}"; do
  (
    trap release EXIT
    trap 'exit 143' TERM
    for kind in "${cases[@]}"; do cell "$fs" "$kind"; done
  ) &
  jobs+=($!)
done
wait "${jobs[@]}"
jobs=()

# The table: one row per file system and case, one column per moment; "!" marks a fault.
passed=0 failed=0
printf '\n%-6s %-8s' fs case
printf ' %-15s' "${moments[@]}"
printf '\n'
for fs in "${file_systems[@]}"; do
  for kind in "${cases[@]}"; do
    printf '%-6s %-8s' "$fs" "$kind"
    for moment in "${moments[@]}"; do
      what=$(awk -v f="$fs" -v k="$kind" -v m="$moment" '$1 == f && $2 == k && $3 == m {print $4}' \
        "$work/results" 2>/dev/null)
      what=${what:-missing!}
      [[ "$what" = *! ]] && failed=$((failed + 1)) || passed=$((passed + 1))
      printf ' %-15s' "$what"
    done
    printf '\n'
  done
done
[ ! -s "$work/rereads" ] || echo "copies read again until stable: $(wc -l <"$work/rereads")"
echo "(! = not allowed: a new output may be absent, a replaced one old, and after sync only new)"
echo "crash_test: $passed passed, $failed failed"
exit $((failed > 0))
