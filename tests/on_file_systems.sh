#!/usr/bin/env bash
# Runs the end-to-end tests with their scratch directories on file systems other than the root's.
# Usage: tests/on_file_systems.sh TEST_PROGRAM [FS...]
#   TEST_PROGRAM: the built end_to_end_tests. FS: any of tmpfs xfs btrfs fat fuse bindfs overlay
#   (default: all). Each is mounted under a fresh temporary directory and TEST_PROGRAM runs with
#   TMPDIR there, all at once. One line per file system says passed, FAILED (after the failing
#   tests' output) or skipped and why: a tool it needs is missing, or it can't be mounted here.
#   Exits 1 if any failed, 77 if none ran or not run as root (mounting needs it), 0 otherwise.
#   However it ends, no mount, loop device, FUSE daemon or temporary file of it stays.
# Debian packages: xfsprogs btrfs-progs dosfstools fusefat bindfs, besides mount and util-linux.
set -uo pipefail
all=(tmpfs xfs btrfs fat fuse bindfs overlay)
(($# >= 1)) || { echo "usage: $0 TEST_PROGRAM [${all[*]}]" >&2 && exit 2; }
program=$(realpath "$1")
shift
(($#)) || set -- "${all[@]}"
for fs in "$@"; do
  [[ " ${all[*]} " == *" $fs "* ]] || { echo "$0: no file system $fs (${all[*]})" >&2 && exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "$0: skipped: mounting file systems needs root" && exit 77; }

alive() { [[ -e /proc/$1 && $(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) != Z ]]; }
# Whether our child PID has ended, waiting up to 20 s. Not the wait builtin: bash can lose a
# child's status when a trapped signal interrupts it just as the child ends, and would then wait
# for ever, on the FUSE daemons that are its other children.
ended() {
  for _ in {1..200}; do alive "$1" || return 0 && sleep 0.1; done
  return 1
}
# Mount points and images are listed before they are used: a signal can end the script between
# any two commands, and so between a mount and the line after it.
work="" mounts=() images=() daemons=()
declare -A running why # the test programs not yet waited for; why a file system was skipped
cleanup() {
  trap '' INT TERM HUP
  # timeout hands the signal on to the test program and the tools it started.
  for pid in "${running[@]}"; do kill "$pid" && ended "$pid"; done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    findmnt -M "${mounts[i]}" >/dev/null && { umount "${mounts[i]}" || umount -l "${mounts[i]}"; }
  done
  # Unmounted, a FUSE daemon ends by itself.
  for pid in "${daemons[@]}"; do ended "$pid" || echo "$0: FUSE daemon $pid still runs" >&2; done
  for image in "${images[@]}"; do
    for dev in $(losetup -lnO NAME -j "$image"); do losetup -d "$dev"; done
  done
  # Should a mount have stayed, what is on it is not ours to delete.
  [ -z "$work" ] || rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
work=$(mktemp -d)
# The tests that run the tool as other accounts need to reach the mounts under it.
chmod 755 "$work"

need() { command -v "$1" >/dev/null || { echo "$1 not found (Debian: $2)" && return 1; }; }
# The image is sparse, so that it takes only the room the tests use; the root is open to all, as
# /tmp is.
on_loop() {
  need losetup mount && images+=("$dir/image") && truncate -s 320M "$dir/image" &&
    dev=$(losetup -f --show "$dir/image") && "$@" "$dev" >/dev/null && mounts+=("$mnt") &&
    mount "$dev" "$mnt" && chmod 1777 "$mnt"
}
# A FUSE daemon kept in the foreground, as our child, so that we know when it has ended.
fuse_daemon() {
  mounts+=("$mnt")
  "$@" -f >"$dir/daemon.log" 2>&1 &
  daemons+=($!)
  until mountpoint -q "$mnt"; do
    alive $! || { tail -n 1 "$dir/daemon.log" && return 1; }
    sleep 0.05
  done
}
setup_tmpfs() { mounts+=("$mnt") && mount -t tmpfs -o size=256m,mode=1777 vyk_tmpfs "$mnt"; }
setup_xfs() { need mkfs.xfs xfsprogs && on_loop mkfs.xfs -q; }
setup_btrfs() { need mkfs.btrfs btrfs-progs && on_loop mkfs.btrfs -q; }
# The kernel may have no vfat: fusefat reads and writes the image itself, and writes only when
# told rw+. In one thread (-s): with several, a file read while others are renamed can come back
# short and wrong, fusefat's fault, not the tool's.
setup_fat() {
  need mkfs.vfat dosfstools && need fusefat fusefat && truncate -s 256M "$dir/image" &&
    mkfs.vfat -F 32 "$dir/image" >/dev/null && fuse_daemon fusefat -s -o rw+ "$dir/image" "$mnt"
}
# As a file system that refuses chmod and chown to everyone, root included.
# A FUSE file system that passes all through (bindfs): no unnamed files, so that the tool takes
# its temporary names, and all else a test may need.
setup_fuse() {
  need bindfs bindfs && mkdir -m 1777 "$dir/source" && fuse_daemon bindfs "$dir/source" "$mnt"
}
setup_bindfs() {
  need bindfs bindfs && mkdir -m 1777 "$dir/source" &&
    fuse_daemon bindfs --chmod-deny --chown-deny "$dir/source" "$mnt"
}
# The layers go on a tmpfs of their own: the root file system may itself be an overlay (as in
# a container), which can't hold an upper layer, and a tmpfs has the xattrs an upper layer needs.
setup_overlay() {
  local layers=$dir/layers
  mkdir "$layers" && mounts+=("$layers" "$mnt") &&
    mount -t tmpfs -o size=256m vyk_layers "$layers" && mkdir "$layers"/{lower,upper,work} &&
    chmod 1777 "$layers/upper" &&
    mount -t overlay -o "lowerdir=$layers/lower,upperdir=$layers/upper,workdir=$layers/work" \
      vyk_overlay "$mnt"
}

for fs in "$@"; do
  dir=$work/$fs mnt=$work/$fs/mnt
  mkdir -p "$mnt"
  if "setup_$fs" >"$dir/setup.log" 2>&1; then
    # Bounded, as ctest bounds each test: a test program stuck on a FIFO or on a FUSE daemon that
    # never answers must fail the run, not hang CI.
    TMPDIR=$mnt timeout -k 10 600 "$program" --gtest_brief=1 >"$dir/log" 2>&1 &
    running[$fs]=$!
  else
    why[$fs]=$(tail -n 1 "$dir/setup.log")
  fi
done

passed=0 failed=0 skipped=0 summary=()
for fs in "$@"; do
  if [ -z "${running[$fs]:-}" ]; then
    skipped=$((skipped + 1)) && summary+=("$fs: skipped: ${why[$fs]:-setup failed}")
    continue
  fi
  wait "${running[$fs]}"
  status=$?
  unset "running[$fs]"
  if ((status == 0)); then
    passed=$((passed + 1)) && summary+=("$fs: passed")
  else
    failed=$((failed + 1))
    failing=$(sed -n 's/^\[  FAILED  \] \([^ ]*\).*/\1/p' "$work/$fs/log" | sort -u | xargs)
    printf '=== %s (%s)\n' "$fs" "$(findmnt -no FSTYPE -M "$work/$fs/mnt")"
    cat "$work/$fs/log"
    summary+=("$fs: FAILED (exit status $status): ${failing:-no test named}")
  fi
done
printf '%s\n' "${summary[@]}"
echo "filesystems: $passed passed, $failed failed, $skipped skipped"
((failed)) && exit 1
((passed)) || exit 77
