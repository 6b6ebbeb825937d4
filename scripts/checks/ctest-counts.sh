#!/usr/bin/env bash
# Usage: ctest-counts.sh CTEST_LOG
# Prints "RESULT PASSED FAILED SKIPPED" for a CTest log: RESULT is passed when no test failed and
# CTest's summary says so, FAILED otherwise (a run that stopped early has no summary).
set -uo pipefail
log=$1
passed=$(grep -cE 'Test +#[0-9]+: .* Passed' "$log")
failed=$(grep -cE 'Test +#[0-9]+: .*\*\*\*(Failed|Exception|Timeout)|Not Run$' "$log")
skipped=$(grep -cE 'Test +#[0-9]+: .*Skipped' "$log")
result=FAILED
if [ "$failed" = 0 ] && grep -qE '^100% tests passed|tests passed, 0 tests failed' "$log"; then
  result=passed
fi
echo "$result $passed $failed $skipped"
