#!/bin/sh
# Runs every test of a build with ctest, then says why each test that skipped did, and which
# parts of tests were left out and why, as the tests printed it.
# Usage: tests/run_tests.sh [BUILD_DIR [CTEST_ARGUMENT...]]   (BUILD_DIR: build by default)
#   Shows the output of failing tests, fails when there are no tests, and exits with ctest's
#   status: 0 only if no test failed.
build=${1:-build}
[ $# -eq 0 ] || shift
log=$build/Testing/Temporary/LastTest.log
# A log left from an earlier run must not be taken for this one's.
rm -f "$log"
ctest --test-dir "$build" --output-on-failure --no-tests=error "$@"
status=$?
[ -f "$log" ] || exit "$status"
# GoogleTest prints "FILE:LINE: Skipped", the reason (any number of lines), then
# "[  SKIPPED ] TEST (N ms)"; a part left out is one line, "[   PART   ] left out, as ...".
awk '
  /^\[ RUN      \] / { test = $4 }
  reading && /^\[  SKIPPED \] / {
    skipped = skipped sprintf("  %s: %s\n", test, reason == "" ? "(no reason given)" : reason)
    reading = 0
    next
  }
  reading { reason = reason == "" ? $0 : reason " " $0; next }
  /: Skipped$/ { reading = 1; reason = ""; next }
  /^\[   PART   \] / { sub(/^\[   PART   \] /, ""); parts = parts sprintf("  %s: %s\n", test, $0) }
  END {
    if (skipped != "") printf "\nWhy tests were skipped:\n%s", skipped
    if (parts != "") printf "\nParts of tests left out:\n%s", parts
  }' "$log"
exit "$status"
