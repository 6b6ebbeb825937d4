#!/usr/bin/env bash
# Builds the project optimised and prints the benchmark table (extra arguments go to the program).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DPython3_EXECUTABLE=/usr/bin/python3 > /dev/null
cmake --build "$build" -j"$(nproc)" --target pyqtwrapping_benchmark > /dev/null
exec "$build/benchmarks/pyqtwrapping_benchmark" "$@"
