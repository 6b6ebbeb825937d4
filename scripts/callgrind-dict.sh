#!/usr/bin/env bash
# Counts the instructions PyObject2QVariant spends per item of the benchmark's dict
# {str: [float, float, str]}, under callgrind: a figure that, unlike a time, does not move with the
# machine's load. PYQTWRAPPING_QT_MAJOR=6 measures the Qt 6 build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=5
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$root/scripts/run-built.sh" pyqtwrapping_benchmark benchmarks/pyqtwrapping_benchmark --profile-dict 1 > /dev/null # builds it
build=$root/build
[ "${PYQTWRAPPING_QT_MAJOR:-5}" != 6 ] || build=$root/build-qt6
valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
  --toggle-collect='TPyQtWrapping::PyObject2QVariant*' \
  "$build/benchmarks/pyqtwrapping_benchmark" --profile-dict $rounds 2> "$out/valgrind.log" | tee "$out/rounds"
items=$(awk '{ print $1 * $4 }' "$out/rounds")
total=$(callgrind_annotate "$out/callgrind.out" | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1 }')
echo "instructions in PyObject2QVariant: $total, per dict item: $((total / items))"
[ "${1:-}" = "--functions" ] && callgrind_annotate "$out/callgrind.out" | sed -n "/file:function/,\$p" | head -40
true
