#!/usr/bin/env bash
# Usage: leg-row.sh PLATFORM CPU LEG INTERPRETER QT COMPILER RESULT PASSED FAILED SKIPPED
#        leg-row.sh --header
# Prints one row of the legs table, and appends it to $PYQTWRAPPING_LEGS_TABLE when that is set.
set -euo pipefail
format='%-14s %-6s %-12s %-24s %-10s %-15s %-8s %6s %6s %7s\n'
if [ "${1:-}" = --header ]; then
  # shellcheck disable=SC2059 # the format is the table's, fixed above
  printf "$format" platform cpu leg interpreter Qt compiler result passed failed skipped
  exit 0
fi
# shellcheck disable=SC2059 # the format is the table's, fixed above
line=$(printf "$format" "$@")
echo "$line"
[ -z "${PYQTWRAPPING_LEGS_TABLE:-}" ] || echo "$line" >> "$PYQTWRAPPING_LEGS_TABLE"
