#!/usr/bin/env bash
# Builds the project optimised and prints the benchmark table (extra arguments go to the program).
exec "$(dirname "$0")/run-built.sh" pyqtwrapping_benchmark benchmarks/pyqtwrapping_benchmark "$@"
