#!/usr/bin/env bash
# Fault-injection test: every system call of the tool's own code, failed in turn by the kernel.
# Usage: tests/fault_injection.sh TOOL   (as root; TOOL is the built vyk_pic_convert)
#
# The tool runs under strace's ptrace-based injection (strace -f -e inject=NAME:error=E:when=K),
# which makes the K-th call of NAME return -1 with errno E without the kernel running it, or
# (signal=SIGTERM) delivers SIGTERM as that call returns. Which calls there are comes from a clean
# traced run of each route (names and counts), so the list follows the code as it changes. Only
# the calls after the program's entry count as the tool's own: the first one is the first system
# call whose stack (strace -k) has a frame in TOOL's own executable; everything before it is the
# dynamic loader's and the C library's start-up, and is counted only to turn "the i-th openat of
# main" into strace's when=K. Every call is failed with each error the kernel can return for it
# (the table in errors_for), and once with SIGTERM. Besides those, short writes the kernel really
# makes (a file-size limit, ulimit -f, at sizes around the writes' boundaries: short, then EFBIG)
# and short reads (the input through a FIFO, fed in pieces of several sizes).
#
# Routes, each set up afresh for every run in a directory of its own:
#   new         nothing at scan.raw.bmp;
#   replace     a file there with mode 0640, owner and group 4001 and a user.* attribute;
#   fuse        the same on a bindfs mount, where there is no O_TMPFILE and the tool takes a
#               temporary name, .vyk_pic_convert-XXXXXXXXXXXX.tmp;
#   symlink     scan.raw.bmp -> real/out.bmp, an existing file dressed as in replace;
#   appendonly  the replace file in a chattr +a directory, where the tool rewrites it in place
#               (on the scratch file system if it takes the flag, else on a small ext4 image);
#   refused     the replace file on a bindfs --chown-deny mount, which refuses the new file the
#               old one's owner: the tool drops the new file and rewrites the old one in place.
#
# Each run is judged by its outcome only, never by which call failed:
#   exit 0    the name holds exactly the expected BMP (computed here from the input), with the
#             old file's mode, owner, group and user.* attributes (fopen's 0644 under umask 022,
#             root's, none, on new), the link still the same link, and nothing else left;
#   exit 1    exactly one of the tool's messages on stderr, the name as it was (content, inode,
#             mode, owner, attributes) and nothing left behind;
#   SIGTERM   the name as it was, or the whole new BMP as for exit 0; nothing left behind.
# The same inode at the name after a run that changed its content (rewritten in place) is
# allowed only where the README says so: on appendonly and refused, always; elsewhere only where
# the run refused the new file something it must have (EPERM, EACCES or EOPNOTSUPP on a call
# that sets an owner, mode, attribute or flag, or that creates the new file; EINVAL on fchown,
# an owner this user namespace can't give), or was refused a read of one of the old file's
# attributes (EACCES or EPERM on fgetxattr, as for a file its owner may only write). A file
# rewritten in place may then hold a part of the new BMP (a prefix)
# after a failed or killed run. A temporary name may stay after an exit 1 only where the run's
# removal of it (unlinkat) was what failed, as the README says. A run that does not end within
# FI_TIMEOUT seconds (20) has hung, a failure too.
#
# Prints the calls found per route, then runs and outcomes per route and every failing case as
# "route syscall#N name ERRNO -> what went wrong", N counting the tool's own calls from its
# first, with the strace option that repeats it. Exits 1 on any failure, 0 if all held, and 0
# with "skipped: REASON" without root or strace; a route whose needs are missing is skipped,
# saying why. Runs FI_JOBS (nproc) cases at a time; FI_ROUTES="replace fuse" runs only those
# routes, and FI_KEEP=1 keeps the scratch directory, with the traces of the failing runs.
# FI_SIGNALS=0 and FI_SHORT=0 leave out the runs ended by SIGTERM and those with short writes and
# reads: for a build that counts its lines run, whose counts a killed run never writes and a
# file-size limit cuts short; FI_STOP_AT=TEXT leaves out the calls from the first whose trace
# line holds TEXT on (".gcda": such a build's own writing of its counts at the end).
# Debian packages: strace, attr (setfattr, getfattr), bindfs and fuse3, e2fsprogs (chattr).
set -uo pipefail

bmp_size=786486
messages=("open write file error." "write file error." "out of memory." "open read file error."
  "read file error.")

# The errors the kernel can return for a call, from its name and its arguments in the clean
# trace. Calls that can't fail as the tool makes them have none (they still get SIGTERM).
errors_for() { # NAME ARGUMENTS
  local name=$1 args=$2
  case $name in
    openat | open | creat) echo EACCES EPERM ENOENT EMFILE ENOSPC EDQUOT EIO EINTR EOPNOTSUPP ;;
    linkat | link) echo ENOENT EPERM EACCES EEXIST ENOSPC EDQUOT EMLINK EIO ;;
    renameat2 | renameat | rename) echo EINVAL EPERM EACCES EBUSY ENOENT EEXIST ENOSPC EDQUOT EIO EXDEV ;;
    # (Not ENOENT: the call is not made, so the name would still be there, which a kernel saying
    # ENOENT never leaves.)
    unlinkat | unlink) echo EIO EPERM EACCES EBUSY ;;
    write | pwrite64 | writev | pwritev | pwritev2) echo EIO ENOSPC EDQUOT EFBIG ;;
    fdatasync | fsync | syncfs) echo EIO ENOSPC EDQUOT EINVAL ;;
    ftruncate | truncate) echo EIO EPERM EFBIG EINTR EINVAL ;;
    fchown | fchownat | lchown | chown) echo EPERM EINVAL EIO EDQUOT ;;
    fchmod | fchmodat | fchmodat2 | chmod) echo EPERM EIO ;;
    fsetxattr | setxattr | lsetxattr) echo EOPNOTSUPP EPERM ENOSPC EDQUOT ERANGE E2BIG EIO ;;
    fgetxattr | getxattr | lgetxattr) echo EACCES EOPNOTSUPP ENODATA ERANGE E2BIG EIO ;;
    flistxattr | listxattr | llistxattr) echo EOPNOTSUPP ERANGE E2BIG EIO ;;
    fremovexattr | removexattr | lremovexattr) echo EOPNOTSUPP ENODATA EPERM EIO ;;
    ioctl) echo ENOTTY EOPNOTSUPP EPERM EINVAL EIO ;;
    statx | fstat | newfstatat | stat | lstat) echo EIO ENOSYS EPERM EACCES ;;
    fstatfs | statfs) echo EIO ENOSYS EACCES ;;
    readlinkat | readlink) echo EIO EACCES ENOENT EINVAL ;;
    getrandom) echo ENOSYS EAGAIN EINTR ;;
    flock) echo EAGAIN ENOLCK EINVAL ;;
    mmap | munmap | mprotect | mremap | madvise) echo ENOMEM EINVAL ;;
    read | pread64 | readv) echo EIO ;;
    close) echo EIO ENOSPC ;;
    rt_sigaction | rt_sigprocmask | sigaltstack) echo EINVAL ;;
    fcntl)
      case $args in
        *F_SETFL* | *F_SETFD*) echo EINVAL EPERM ;;
        *) ;; # F_GETFL, F_GETFD: nothing to fail on an open descriptor
      esac ;;
    # Calls that can't fail, or fail otherwise than by an error: brk fails by returning the old
    # break, which a wrapper reads as ENOMEM; an error number there is no kernel's answer.
    exit_group | exit | getpid | gettid | getppid | getuid | geteuid | getgid | getegid | umask | \
      rt_sigreturn | sched_yield | brk | kill | tgkill | tkill | set_robust_list | rseq) ;;
    *) echo EINVAL EIO; return 3 ;; # no row: a guess, which the summary points out
  esac
}

# Whether a run failed with the refusal under which the README lets the tool rewrite the old
# file in place: the new file refused an owner, mode, attribute, flag or its very creation, or
# the old file's attributes refused to be read.
documented_in_place() { # NAME ERRNO ARGUMENTS
  local name=$1 errno=$2 args=$3
  case $name in
    # EINVAL: an owner or group that this user namespace has no ID for, which can't be given.
    fchown | fchownat | lchown | chown) [[ $errno == EINVAL ]] && return 0 ;;
  esac
  [[ $errno == EPERM || $errno == EACCES || $errno == EOPNOTSUPP ]] || return 1
  case $name in
    fchown | fchownat | lchown | chown | fchmod | fchmodat | fchmodat2 | chmod | fsetxattr | setxattr | \
      lsetxattr | fremovexattr | removexattr | lremovexattr) return 0 ;;
    ioctl) [[ $args == *SET* ]] ;;
    fgetxattr | getxattr | lgetxattr) [[ $errno != EOPNOTSUPP ]] ;;
    openat | open | openat2 | creat) [[ $args == *O_TMPFILE* || $args == *O_EXCL* ]] ;;
    *) return 1 ;;
  esac
}

# True for the one failure after which the README lets a run leave something behind: the removal
# of its own temporary name failing (a failing disk), where nothing can remove it; the run then
# fails, and the name stays.
documented_residual() { # NAME ARGUMENTS
  [[ $1 == unlinkat && $2 == *.vyk_pic_convert-* ]]
}

# --- One run -----------------------------------------------------------------------------------
# The environment of a run: FI_TOOL, FI_WORK, FI_TIMEOUT, and the bases of the mounted routes.

route_base() {
  case $1 in
    fuse) echo "$FI_FUSE_BASE" ;;
    appendonly) echo "$FI_APPEND_BASE" ;;
    refused) echo "$FI_WORK/refused" ;;
    *) echo "$FI_WORK/runs" ;;
  esac
}
# Where a run's files are made: on refused, beneath the mount, which would refuse the owner.
setup_dir() { # ROUTE DIR
  if [ "$1" = refused ]; then echo "$FI_WORK/refused_source/${2##*/}"; else echo "$2"; fi
}
in_place_route() { [ "$1" = appendonly ] || [ "$1" = refused ]; }
target_of() { # ROUTE DIR: the file the output's name leads to
  if [ "$1" = symlink ]; then echo "$2/real/out.bmp"; else echo "$2/scan.raw.bmp"; fi
}
dress_old() { # FILE: the file to be replaced, with all a replacement must keep
  install -m 0640 -o 4001 -g 4001 "$FI_WORK/old.bmp" "$1" &&
    setfattr -n user.fault_injection -v "kept across runs" "$1" &&
    { chattr +d "$1" 2>/dev/null || true; } # nodump, where the file system keeps such flags
}
setup() { # ROUTE DIR [fifo]
  local route=$1 dir
  dir=$(setup_dir "$1" "$2")
  mkdir "$dir" || return 1
  if [ "${3:-}" = fifo ]; then mkfifo "$dir/scan.raw"; else cp "$FI_WORK/input.raw" "$dir/scan.raw"; fi ||
    return 1
  case $route in
    new) ;;
    replace | fuse | refused) dress_old "$dir/scan.raw.bmp" ;;
    symlink) mkdir "$dir/real" && dress_old "$dir/real/out.bmp" && ln -s real/out.bmp "$dir/scan.raw.bmp" ;;
    appendonly) dress_old "$dir/scan.raw.bmp" && chattr +a "$dir" ;;
  esac
}
teardown() { # ROUTE DIR
  [ "$1" != appendonly ] || chattr -a "$2" 2>/dev/null
  rm -rf --one-file-system "$(setup_dir "$1" "$2")"
}
# What a file is: inode, mode, owner, group, size, content's digest, user.* attributes.
describe() {
  [ -e "$1" ] || { echo absent; return; }
  local attributes="" line digest
  while IFS= read -r line; do
    [[ -z $line || $line == "#"* ]] || attributes+="$line "
  done < <(getfattr --absolute-names -d -m '^user\.' -e hex "$1" 2>/dev/null)
  read -r digest _ < <(sha256sum <"$1")
  echo "$(stat -c '%i %a %u %g %s' "$1") $digest [$attributes]"
}
listing() { (cd "$1" && find . -mindepth 1 | LC_ALL=C sort); }

# Judges a run; prints the problems found, one per line, each "category: detail".
judge() { # ROUTE DIR OUTCOME ERR_FILE BEFORE LINK_BEFORE LIST_BEFORE EXPECTED ALLOW_IN_PLACE
  local route=$1 dir=$2 outcome=$3 err_file=$4 before=$5 link_before=$6 list_before=$7
  local expected=$8 allow=$9 target after list_after extra missing line
  target=$(target_of "$route" "$dir")
  after=$(describe "$target")
  list_after=$(listing "$dir")

  # Their fields: inode, mode, owner, group, size, digest, then the attributes.
  local -a was=() now=()
  read -r -a was <<<"$before"
  read -r -a now <<<"$after"
  # What the name holds now, as one word: old, new, new-in-place, partial-in-place, changed.
  local holds expected_digest
  read -r expected_digest _ <"$expected.sha256"
  if [ "$after" = "$before" ]; then
    holds=old
  elif [ "$after" = absent ]; then
    holds=removed
  elif [ "${now[5]}" = "$expected_digest" ]; then
    holds=new
    [ "$before" = absent ] || [ "${now[0]}" != "${was[0]}" ] || holds=new-in-place
  elif [ "$before" != absent ] && [ "${now[0]}" = "${was[0]}" ] &&
    [ "${now[4]}" -lt $bmp_size ] && cmp -s -n "${now[4]}" "$target" "$expected"; then
    holds=partial-in-place
  else
    holds=changed
  fi

  # The new file's dress: what the old one had, or fopen's on a new name.
  new_dress_problems() {
    local want
    if [ "$before" = absent ]; then want="644 0 0 []"
    else want="${was[*]:1:3} ${was[*]:6}"
    fi
    local got
    got="${now[*]:1:3} ${now[*]:6}"
    [ "$got" = "$want" ] || echo "attributes lost: mode owner group user.* are '$got', not '$want'"
  }
  in_place() { # PROBLEM: prints it for a rewrite in place that the README doesn't allow here
    if in_place_route "$route"; then :
    elif [ "$allow" = 1 ]; then echo "INFO in place"
    else echo "$1"
    fi
  }
  name_holds_new() { # prints problems if the name does not hold the whole new BMP, dressed
    case $holds in
      new) new_dress_problems
        ! in_place_route "$route" || echo "not in place: a new inode, where the name can't change hands" ;;
      new-in-place) new_dress_problems
        in_place "rewritten in place: the same inode, where the README has it replaced" ;;
      old) echo "wrong content: the name holds the old file" ;;
      removed) echo "name lost: nothing at the name" ;;
      partial-in-place) echo "wrong content: part of the new BMP, in place" ;;
      *) echo "wrong content: ${now[4]} bytes, neither the old file nor the new BMP" ;;
    esac
  }
  name_as_it_was() { # prints problems if the name does not hold what it held
    case $holds in
      old) ;;
      partial-in-place | new-in-place)
        in_place "name changed: rewritten in place (${now[4]} bytes of the new BMP)" ;;
      removed) echo "name changed: the old file is gone from the name" ;;
      new) echo "name changed: it holds the new BMP, after a failed run" ;;
      *) if [ "$before" = absent ]; then echo "name changed: a file (${now[4]} bytes) where there was none"
        elif [ "${now[0]}" = "${was[0]}" ] && [ "${now[5]}" = "${was[5]}" ]; then
          echo "attributes changed: '$after', was '$before'"
        else echo "name changed: '$after', was '$before'"
        fi ;;
    esac
  }

  if [ "$route" = symlink ]; then
    [ "$(stat -c '%i %N' "$dir/scan.raw.bmp" 2>/dev/null)" = "$link_before" ] ||
      echo "link lost: scan.raw.bmp is now $(stat -c '%F %N' "$dir/scan.raw.bmp" 2>&1)"
  fi

  # Left behind, or gone: every name but the output's (on new, where it holds the new BMP).
  extra=$(comm -13 <(echo "$list_before") <(echo "$list_after"))
  [ "$before" != absent ] || [[ $holds != new* ]] || extra=$(echo "$extra" | grep -vx './scan.raw.bmp')
  if [ "$allow" = 2 ] && [ "$outcome" = "exit 1" ] &&
    ! echo "$extra" | grep -qvx '\./\.vyk_pic_convert-.*\.tmp'; then
    echo "INFO residual"
  elif [ -n "$extra" ]; then
    echo "left behind: $(echo "$extra" | sed 's|^\./||' | tr '\n' ' ')"
  fi
  missing=$(comm -23 <(echo "$list_before") <(echo "$list_after"))
  [ -z "$missing" ] || echo "removed: $(echo "$missing" | sed 's|^\./||' | tr '\n' ' ')"

  case $outcome in
    "exit 0")
      [ ! -s "$err_file" ] || echo "message on success: $(head -c 200 "$err_file" | tr '\n' '|')"
      name_holds_new ;;
    "exit 1")
      if [ "$(wc -l <"$err_file")" -ne 1 ] || ! head -n1 "$err_file" | cmp -s - "$err_file"; then
        echo "message: not exactly one line: '$(head -c 200 "$err_file" | tr '\n' '|')'"
      else
        line=$(cat "$err_file")
        local known=0 message
        for message in "${messages[@]}"; do [ "$line" != "$message" ] || known=1; done
        [ $known = 1 ] || echo "message: unknown '$line'"
      fi
      name_as_it_was ;;
    "killed by SIGTERM")
      case $holds in
        new | new-in-place) name_holds_new ;;
        *) name_as_it_was ;;
      esac ;;
    hung) echo "hung: no end within ${FI_TIMEOUT}s" ;;
    *) echo "outcome: $outcome" ;;
  esac
}

# Runs one case and writes its result to FI_WORK/results/ID:
# ID ROUTE KIND NAME K ARG INDEX ALLOW, where KIND is
#   clean   no fault;
#   error   the K-th call of NAME fails with ARG (an errno), INDEX its number among main's calls;
#   signal  SIGTERM as the K-th call of NAME returns;
#   fsize   under ulimit -f K (1024-byte blocks);
#   fifo    the input through a FIFO, in pieces of K bytes (ARG "short": only the first 100,000).
run_case() {
  local id=$1 route=$2 kind=$3 name=$4 k=$5 arg=$6 index=$7 allow=$8
  local dir base target before link_before="" list_before outcome status problems expected
  local trace err_file feeder=""
  base=$(route_base "$route")
  dir=$base/$id
  trace=$FI_WORK/traces/$id
  err_file=$FI_WORK/traces/$id.err
  expected=$FI_WORK/expected.bmp
  [ "$kind" != fifo ] || [ "$arg" != short ] || expected=$FI_WORK/expected_short.bmp
  if ! setup "$route" "$dir" "$([ "$kind" = fifo ] && echo fifo)" 2>"$err_file"; then
    printf 'verdict=FAIL\noutcome=not run\nproblem=setup failed: %s\n' "$(tr '\n' ' ' <"$err_file")" \
      >"$FI_WORK/results/$id"
    teardown "$route" "$dir"
    return
  fi
  target=$(target_of "$route" "$dir")
  before=$(describe "$target")
  [ "$route" != symlink ] || link_before=$(stat -c '%i %N' "$dir/scan.raw.bmp")
  list_before=$(listing "$dir")

  local inject=()
  case $kind in
    error) inject=(-e "trace=$name" -e "inject=$name:error=$arg:when=$k") ;;
    signal) inject=(-e "trace=$name" -e "inject=$name:signal=SIGTERM:when=$k") ;;
    clean) inject=(-e trace=none) ;;
  esac
  if [ "$kind" = fifo ]; then
    local count=262144
    [ "$arg" != short ] || count=100000
    # Opening the FIFO waits for the tool; should the tool never open it, the kill below ends it.
    timeout "$FI_TIMEOUT" perl -e 'my ($file, $piece, $count) = @ARGV; open my $in, "<:raw", $file or die;
      read $in, my $data, $count; $| = 1; binmode STDOUT;
      for (my $at = 0; $at < length $data; $at += $piece) {
        my $part = substr $data, $at, $piece; my $done = 0;
        while ($done < length $part) { my $n = syswrite STDOUT, $part, length($part) - $done, $done;
          defined $n or exit 0; $done += $n }
      }' "$FI_WORK/input.raw" "$k" "$count" >"$dir/scan.raw" 2>/dev/null &
    feeder=$!
  fi
  case $kind in
    clean | error | signal)
      (cd "$dir" && umask 022 &&
        exec timeout -k 5 "$FI_TIMEOUT" strace -f -o "$trace" "${inject[@]}" "$FI_TOOL" scan.raw) 2>"$err_file"
      status=$?
      if [ $status -eq 124 ] || [ $status -eq 137 ]; then
        outcome=hung
      else
        outcome=$(grep -E '\+\+\+ (exited with|killed by) ' "$trace" | tail -n1 |
          sed -E 's/.*\+\+\+ (exited with|killed by) ([A-Z0-9]+).*/\1 \2/; s/exited with/exit/')
        [ -n "$outcome" ] || outcome="no outcome in the trace (strace status $status)"
      fi
      # strace's own complaints (a bad argument) go to the same stderr as the tool's.
      if grep -q '^strace: ' "$err_file"; then outcome="strace failed: $(grep -m1 '^strace: ' "$err_file")"; fi ;;
    fsize | fifo)
      # Through a pipe: a file for stderr would be under the limit too.
      (cd "$dir" && umask 022 && { [ "$kind" != fsize ] || ulimit -f "$k"; } &&
        exec timeout -k 5 "$FI_TIMEOUT" "$FI_TOOL" scan.raw 2>&1 >/dev/null) | cat >"$err_file"
      status=${PIPESTATUS[0]}
      if [ $status -eq 124 ] || [ $status -eq 137 ]; then outcome=hung
      elif [ $status -gt 128 ]; then outcome="killed by SIG$(kill -l $((status - 128)))"
      else outcome="exit $status"
      fi ;;
  esac
  if [ -n "$feeder" ]; then
    kill "$feeder" 2>/dev/null
    wait "$feeder" 2>/dev/null
  fi
  local note=""
  case $kind in
    error) grep -q "(INJECTED)" "$trace" || note="injection point not reached" ;;
    signal) # (exit_group never returns, to be given the signal)
      [ "$name" = exit_group ] || grep -q -- "--- SIGTERM {si_signo=SIGTERM, si_code=SI_KERNEL" "$trace" ||
        note="injection point not reached" ;;
  esac
  problems=$(judge "$route" "$dir" "$outcome" "$err_file" "$before" "$link_before" "$list_before" \
    "$expected" "$allow")
  teardown "$route" "$dir"
  # (INFO lines are no problem: an allowed rewrite in place, counted in the summary.)
  if [[ $problems == *"INFO in place"* ]]; then
    note="${note:+$note, }in place, as documented"
  fi
  if [[ $problems == *"INFO residual"* ]]; then
    note="${note:+$note, }temporary name left, as documented"
  fi
  problems=$(echo "$problems" | grep -v '^INFO ')
  {
    if [ -n "$problems" ]; then echo "verdict=FAIL"; else echo "verdict=ok"; fi
    echo "outcome=$outcome"
    echo "note=$note"
    [ -z "$problems" ] || echo "$problems" | sed 's/^/problem=/'
  } >"$FI_WORK/results/$id"
  [ -n "$problems" ] || rm -f "$trace" "$err_file"
}

if [ "${1:-}" = --run-case ]; then
  shift
  # The shell's own reports ("Terminated") of the runs it ends, and anything else a run says.
  exec 2>>"$FI_WORK/runs.log"
  run_case "$@"
  exit 0
fi

# --- The whole test ------------------------------------------------------------------------------

tool=$(realpath -e "${1:-}" 2>/dev/null) || tool=""
if [ ! -x "$tool" ]; then
  echo "usage: $0 TOOL (the built vyk_pic_convert)" >&2
  exit 2
fi
skip() { echo "fault_injection: skipped: $*"; exit 0; }
[ "$(id -u)" -eq 0 ] || skip "needs root, to give the replaced file another owner and to mount"
command -v strace >/dev/null || skip "strace is missing (Debian package strace)"
for command in timeout perl sha256sum setfattr getfattr; do
  command -v "$command" >/dev/null || skip "$command is missing"
done
strace -o /dev/null -e inject=getpid:error=EIO:when=1 true 2>/dev/null ||
  skip "this strace can't inject errors (strace 4.16 or later)"
strace -k -o /dev/null true 2>/dev/null ||
  skip "this strace can't print stacks (-k), which tell where the tool's own code starts"

self=$(realpath "$0")
started=$SECONDS
export FI_TOOL=$tool FI_TIMEOUT=${FI_TIMEOUT:-20}
FI_WORK=$(mktemp -d "${TMPDIR:-/tmp}/fault_injection.XXXXXX")
export FI_WORK
export FI_FUSE_BASE="" FI_APPEND_BASE=""
jobs=${FI_JOBS:-$(nproc)}
fuse_mounts=() loop="" loop_mounted=""
# shellcheck disable=SC2317 # run by the trap
finish() {
  local dir
  for dir in "$FI_WORK"/runs/* ${FI_APPEND_BASE:+"$FI_APPEND_BASE"/*}; do
    [ -d "$dir" ] && chattr -a "$dir" 2>/dev/null
  done
  for dir in "${fuse_mounts[@]}"; do
    fusermount3 -u "$dir" 2>/dev/null || fusermount -u "$dir" 2>/dev/null ||
      umount "$dir" 2>/dev/null || umount -l "$dir"
  done
  if [ -n "$loop_mounted" ]; then umount "$loop_mounted" || umount -l "$loop_mounted"; fi
  [ -z "$loop" ] || losetup -d "$loop"
  [ -n "${FI_KEEP:-}" ] || rm -rf --one-file-system "$FI_WORK"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$FI_WORK/runs" "$FI_WORK/traces" "$FI_WORK/results"

# The input, a picture with every grey level in a pattern that shows any mirroring or shift, and
# the old file's: another picture, so that a mix of the two shows.
perl -e 'binmode STDOUT;
  for my $y (0..511) { print pack "C*", map { ($_ * 7 + $y * 13 + (($_ * $y) >> 5)) & 255 } 0..511 }' \
  >"$FI_WORK/input.raw"
perl -e 'binmode STDOUT; for my $y (0..511) { print pack "C*", map { ($_ ^ $y) & 255 } 0..511 }' \
  >"$FI_WORK/old.raw"
# The BMP a raw picture must give, written here from the format, not by the tool: the 54-byte
# header, then the rows bottom-up, each byte three times; an input that ends early is black on.
expected_bmp() { # RAW [BYTES]
  perl -e 'my ($file, $count) = @ARGV; open my $in, "<:raw", $file or die; read $in, my $data, $count;
    $data .= "\0" x (262144 - length $data); binmode STDOUT;
    print pack("H*", "424d36000c00000000003600000028000000000200000002000001001800"), "\0" x 24;
    for my $row (reverse 0..511) { (my $line = substr $data, $row * 512, 512) =~ s/(.)/$1$1$1/gs; print $line }' \
    "$1" "${2:-262144}"
}
expected_bmp "$FI_WORK/input.raw" >"$FI_WORK/expected.bmp"
expected_bmp "$FI_WORK/input.raw" 100000 >"$FI_WORK/expected_short.bmp"
for file in expected expected_short; do sha256sum <"$FI_WORK/$file.bmp" >"$FI_WORK/$file.bmp.sha256"; done
# The old file is longer than a BMP, so that a rewrite in place that keeps its tail shows.
{ expected_bmp "$FI_WORK/old.raw" && head -c 100000 "$FI_WORK/old.raw"; } >"$FI_WORK/old.bmp"
cp "$FI_WORK/input.raw" "$FI_WORK/check.raw"
if ! "$tool" "$FI_WORK/check.raw" || ! cmp "$FI_WORK/check.raw.bmp" "$FI_WORK/expected.bmp"; then
  echo "fault_injection: the tool's clean output is not the expected BMP" >&2
  exit 1
fi

# The routes this machine can hold, and the reasons for those it can't.
routes=(new replace)
declare -A skipped=()
probe=$FI_WORK/runs/probe
mkdir "$probe" && touch "$probe/file"
if ! chown 4001:4001 "$probe/file" 2>/dev/null ||
  ! setfattr -n user.probe -v 1 "$probe/file" 2>/dev/null; then
  echo "fault_injection: the scratch file system ($FI_WORK) can't hold other owners or user.* attributes" >&2
  exit 1
fi
rm -rf "$probe"

# bindfs over a scratch directory: NAME (the mount) over NAME_source, with OPTIONS.
bindfs_route() { # ROUTE NAME [OPTION...]
  local route=$1 name=$2
  shift 2
  if ! command -v bindfs >/dev/null; then skipped[$route]="bindfs is missing (Debian packages bindfs, fuse3)"
  elif [ ! -c /dev/fuse ]; then skipped[$route]="no /dev/fuse"
  else
    mkdir "$FI_WORK/${name}_source" "$FI_WORK/$name"
    if bindfs "$@" "$FI_WORK/${name}_source" "$FI_WORK/$name" 2>"$FI_WORK/$name.log"; then
      fuse_mounts+=("$FI_WORK/$name")
      return 0
    fi
    skipped[$route]="bindfs can't mount here: $(head -n1 "$FI_WORK/$name.log")"
  fi
  return 1
}
if bindfs_route fuse fuse; then
  FI_FUSE_BASE=$FI_WORK/fuse
  routes+=(fuse)
fi
routes+=(symlink)

appendonly_works() { # DIR: whether a directory there takes chattr +a, and keeps a file from being renamed
  local dir=$1/append_probe ok=1
  mkdir "$dir" && touch "$dir/file" || return 1
  chattr +a "$dir" 2>/dev/null && lsattr -d "$dir" 2>/dev/null | cut -d' ' -f1 | grep -q a &&
    ! mv "$dir/file" "$dir/moved" 2>/dev/null || ok=0
  chattr -a "$dir" 2>/dev/null
  rm -rf "$dir"
  [ $ok = 1 ]
}
if ! command -v chattr >/dev/null; then skipped[appendonly]="chattr is missing (Debian package e2fsprogs)"
elif appendonly_works "$FI_WORK/runs"; then
  FI_APPEND_BASE=$FI_WORK/runs
  routes+=(appendonly)
elif ! command -v mkfs.ext4 >/dev/null || ! command -v losetup >/dev/null; then
  skipped[appendonly]="the scratch file system takes no chattr +a, and mkfs.ext4 or losetup is missing"
else
  # A small ext4 image on a loop device, which takes the flag.
  truncate -s 64M "$FI_WORK/ext4.img" && mkdir "$FI_WORK/ext4"
  if mkfs.ext4 -q -F "$FI_WORK/ext4.img" >/dev/null 2>&1 &&
    loop=$(losetup --show -f "$FI_WORK/ext4.img" 2>/dev/null) &&
    mount -t ext4 "$loop" "$FI_WORK/ext4" 2>/dev/null; then
    loop_mounted=$FI_WORK/ext4
    FI_APPEND_BASE=$FI_WORK/ext4
    if appendonly_works "$FI_APPEND_BASE"; then
      routes+=(appendonly)
      echo "appendonly: on an ext4 image on a loop device, as the scratch file system takes no chattr +a"
    else skipped[appendonly]="not even ext4 on a loop device takes chattr +a here"
    fi
  else
    skipped[appendonly]="the scratch file system takes no chattr +a, and no ext4 image mounts on a loop device"
  fi
fi
if bindfs_route refused refused --chown-deny; then
  touch "$FI_WORK/refused/probe"
  if chown 4001 "$FI_WORK/refused/probe" 2>/dev/null; then
    skipped[refused]="this bindfs lets chown through, --chown-deny notwithstanding"
  else
    routes+=(refused)
  fi
  rm -f "$FI_WORK/refused/probe"
fi
export FI_FUSE_BASE FI_APPEND_BASE
# FI_ROUTES="new replace ...": only those (to look into one route's failures).
if [ -n "${FI_ROUTES:-}" ]; then
  chosen=()
  for route in "${routes[@]}"; do [[ " $FI_ROUTES " != *" $route "* ]] || chosen+=("$route"); done
  routes=("${chosen[@]}")
fi

# The calls of each route's clean run, after the program's entry: "INDEX NAME K ARGUMENTS" per
# line, K counting NAME from the start of the process, as strace's when= does.
discover() { # ROUTE
  local route=$1 dir
  dir=$(route_base "$route")/discover-$route
  setup "$route" "$dir" || return 1
  (cd "$dir" && umask 022 && strace -f -k -o "$FI_WORK/traces/discover-$route" "$tool" scan.raw) ||
    { teardown "$route" "$dir"; return 1; }
  teardown "$route" "$dir"
  awk -v tool="$tool" -v stop="${FI_STOP_AT:-}" '
    function name_of(line) { sub(/\(.*/, "", line); return line }
    /^ > / {
      if (!started && last != "" && index($0, " > " tool "(") == 1) {
        started = 1; before[last_name]--; emit(last_name, last)
      }
      next
    }
    { sub(/^[0-9]+ +/, "") }
    /^(\+\+\+|---|<\.\.\.)/ { next }
    /^[a-z_0-9]+\(/ {
      n = name_of($0)
      if (started && stop != "" && index($0, stop)) stopped = 1
      if (started && !stopped) emit(n, $0)
      else { before[n]++; last = $0; last_name = n }
    }
    function emit(n, line,   args) {
      count[n]++; index_++
      args = line; sub(/^[a-z_0-9]+\(/, "", args); sub(/\) += .*/, "", args); gsub(/[ \t]+/, " ", args)
      print index_, n, before[n] + count[n], args
    }
    END { if (!started) exit 1 }' "$FI_WORK/traces/discover-$route"
}

printf 'fault_injection: %s\n' "$tool"
cases=$FI_WORK/cases
: >"$cases"
declare -A route_calls=()
id=0
next_id() { id=$((id + 1)); printf -v case_id '%05d' "$id"; }
unknown_calls=""
for route in "${routes[@]}"; do
  if ! discover "$route" >"$FI_WORK/calls-$route"; then
    echo "fault_injection: $route: the clean traced run failed, or no call in it came from $tool" >&2
    exit 1
  fi
  route_calls[$route]=$(wc -l <"$FI_WORK/calls-$route")
  printf '%-10s %3d calls after the entry:%s\n' "$route" "${route_calls[$route]}" \
    "$(awk '{ if (!($2 in c)) order[++n] = $2; c[$2]++ }
      END { for (i = 1; i <= n; i++) printf " %s×%d", order[i], c[order[i]] }' "$FI_WORK/calls-$route")"
  [ "$route" != fuse ] || grep -q '\.vyk_pic_convert-.*\.tmp' "$FI_WORK/traces/discover-$route" ||
    echo "           (no temporary name taken on this bindfs mount: it has O_TMPFILE after all)"
  next_id
  echo "$case_id $route clean - 0 - 0 0" >>"$cases"
  while read -r index name k args; do
    errors=$(errors_for "$name" "$args")
    [ $? -ne 3 ] || [[ " $unknown_calls " == *" $name "* ]] || unknown_calls+=" $name"
    for errno in $errors; do
      allow=0
      documented_in_place "$name" "$errno" "$args" && allow=1
      documented_residual "$name" "$args" && allow=2
      next_id
      echo "$case_id $route error $name $k $errno $index $allow" >>"$cases"
    done
    [ "${FI_SIGNALS:-1}" = 1 ] || continue
    next_id
    echo "$case_id $route signal $name $k SIGTERM $index 0" >>"$cases"
  done <"$FI_WORK/calls-$route"
  [ "${FI_SHORT:-1}" = 1 ] || continue
  # Short writes: a file-size limit before, at and after the writes' boundaries (32 KiB each,
  # the last 54 bytes) and the file's end.
  for blocks in 0 1 31 32 33 100 767 768 769; do
    next_id
    echo "$case_id $route fsize - $blocks - 0 0" >>"$cases"
  done
  # Short reads: the input through a FIFO, in pieces; and one that ends early.
  if mkfifo "$(route_base "$route")/fifo_probe" 2>/dev/null; then
    rm -f "$(route_base "$route")/fifo_probe"
    for piece in 1 1000 4095 70000; do
      next_id
      echo "$case_id $route fifo - $piece full 0 0" >>"$cases"
    done
    next_id
    echo "$case_id $route fifo - 3000 short 0 0" >>"$cases"
  else
    echo "           (no FIFO on this route's file system: no short reads there)"
  fi
done
for route in "${!skipped[@]}"; do echo "$route: skipped: ${skipped[$route]}"; done
[ -z "$unknown_calls" ] ||
  echo "note: no row in errors_for for:$unknown_calls (failed with EINVAL and EIO; add a row)"
total=$(wc -l <"$cases")
echo "running $total cases, $jobs at a time"

xargs -P "$jobs" -L 1 bash "$self" --run-case <"$cases"

# The summary, in the cases' order.
declare -A runs=() passed=() categories=() outcomes=()
documented=() residuals=()
failures=()
not_reached=0
while read -r case_id route kind name k arg index allow; do
  runs[$route]=$((${runs[$route]:-0} + 1))
  verdict=FAIL outcome="no result" note="" problems=()
  if [ -e "$FI_WORK/results/$case_id" ]; then
    while IFS= read -r line; do
      case $line in
        verdict=*) verdict=${line#*=} ;;
        outcome=*) outcome=${line#*=} ;;
        note=*) note=${line#*=} ;;
        problem=*) problems+=("${line#*=}") ;;
      esac
    done <"$FI_WORK/results/$case_id"
  fi
  [ "$note" != "injection point not reached" ] || not_reached=$((not_reached + 1))
  outcomes[$route/$outcome]=$((${outcomes[$route/$outcome]:-0} + 1))
  if [[ $note == *"in place, as documented"* ]]; then
    documented+=("$route $name $arg")
  fi
  if [[ $note == *"temporary name left, as documented"* ]]; then
    residuals+=("$route $name $arg")
  fi
  case $kind in
    clean) label="clean run" ;;
    error) label="syscall#$index $name $arg" ;;
    signal) label="syscall#$index $name SIGTERM" ;;
    fsize) label="ulimit -f $k" ;;
    fifo) label="FIFO input in pieces of $k bytes$([ "$arg" = full ] || echo ", ending early")" ;;
  esac
  if [ "$verdict" = ok ]; then
    passed[$route]=$((${passed[$route]:-0} + 1))
    continue
  fi
  what=$(IFS=';'; echo "${problems[*]}")
  what=${what//;/; }
  case $kind in
    error) repro=" (strace -e inject=$name:error=$arg:when=$k)" ;;
    signal) repro=" (strace -e inject=$name:signal=SIGTERM:when=$k)" ;;
    *) repro="" ;;
  esac
  failures+=("$route $label -> $outcome: $what$repro")
  category="$outcome: ${problems[0]%%:*}"
  categories[$category]=$((${categories[$category]:-0} + 1))
done <"$cases"

echo
echo "runs per route: ok / runs (outcomes)"
all_runs=0 all_passed=0
for route in "${routes[@]}"; do
  printf '  %-10s %5d / %-5d (%s)\n' "$route" "${passed[$route]:-0}" "${runs[$route]:-0}" \
    "$(for key in "${!outcomes[@]}"; do
      [[ $key != "$route/"* ]] || echo "${key#*/}: ${outcomes[$key]}"
    done | LC_ALL=C sort | paste -sd ',' | sed 's/,/, /g')"
  all_runs=$((all_runs + ${runs[$route]:-0}))
  all_passed=$((all_passed + ${passed[$route]:-0}))
done
((${#documented[@]} == 0)) ||
  echo "rewritten in place where the README allows it, after a refusal: ${#documented[@]} runs ($(
    printf '%s\n' "${documented[@]}" | LC_ALL=C sort | uniq -c |
      awk '{printf "%s%s %s %s×%d", (NR > 1 ? ", " : ""), $2, $3, $4, $1}'))"
((${#residuals[@]} == 0)) ||
  echo "a temporary name left after its removal failed, as the README allows: ${#residuals[@]} runs"
[ $not_reached -eq 0 ] ||
  echo "note: $not_reached runs never reached their injection point (the run differs from the clean one)"
if ((${#failures[@]})); then
  echo
  echo "failures by kind:"
  for category in "${!categories[@]}"; do printf '  %5d  %s\n' "${categories[$category]}" "$category"; done |
    sort -k1,1nr -k2
  echo
  echo "failing cases:"
  printf '  %s\n' "${failures[@]}"
fi
echo
echo "fault_injection: $all_runs runs, $all_passed ok, ${#failures[@]} failed, in $((SECONDS - started)) s"
((${#failures[@]} == 0))
