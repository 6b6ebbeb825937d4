#!/usr/bin/env bash
# Usage: benchmark.sh [ARGS...]          builds the project optimised and prints the benchmark table
#        benchmark.sh --suite forky      the same inside Debian testing's root file system, with the
#                                        nanobind and PySide6 columns, then the sub-interpreter scaling
# ARGS go to the program. PYQTWRAPPING_QT_MAJOR=6 builds the Debian 12 table against Qt 6.
if [ "${1:-}" = --suite ]; then
  exec "$(dirname "$0")/debian-leg.sh" "${2:?--suite needs a suite: forky}" benchmark
fi
exec "$(dirname "$0")/run-built.sh" pyqtwrapping_benchmark benchmarks/pyqtwrapping_benchmark "$@"
