#!/usr/bin/env bash
# Runs the built tool under valgrind's memcheck on the bundled sample, a short input and a
# directory, and fails on any memcheck error or on any other status or message than expected.
# Usage: tests/memcheck_runs.sh BUILD_DIR
set -euo pipefail
tool=$(realpath "$1")/vyk_pic_convert
sample=$(realpath "$(dirname "$0")/../samples/chart.raw")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
cp "$sample" chart.raw
head -c 700 "$sample" >short.raw
mkdir scans

failures=0
# check NAME STATUS STDERR ARG: one run, expecting exit STATUS and exactly STDERR.
check() {
  local name=$1 want_status=$2 want_err=$3 arg=$4 status=0
  valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    --log-file=memcheck.log "$tool" "$arg" >out.txt 2>err.txt || status=$?
  if [ "$status" -ne "$want_status" ] || [ "$(cat err.txt)" != "$want_err" ] || [ -s out.txt ] ||
    [ -s memcheck.log ]; then
    echo "memcheck $name: FAILED (status $status, want $want_status)"
    cat err.txt memcheck.log
    failures=$((failures + 1))
  else
    echo "memcheck $name: ok"
  fi
}

check sample 0 "" chart.raw
check short-input 0 "" short.raw
check directory-input 1 "read file error." scans
[ "$(stat -c %s chart.raw.bmp)" -eq 786486 ] && [ ! -e scans.bmp ] || {
  echo "memcheck: the runs left the wrong files behind"
  failures=$((failures + 1))
}
exit $((failures > 0))
