#!/usr/bin/env bash
# Usage: benchmark-leg.sh PYTHON full|smoke
# Run inside a Debian root file system by scripts/debian-leg.sh: builds the benchmark and the
# threads' scaling program optimised against PYTHON and Qt 6, runs the benchmark table
# (smoke: once, on small data) and, for a full run, the scaling. Prints "ok: " for each that ran.
set -euo pipefail
python=$1 mode=$2 build=/work/build/benchmark-${1##*/}
# A fresh folder: CMake keeps the libpython it found first even when told another interpreter.
rm -rf "$build"
cmake -S /work/src -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE="$python" \
  -DPYQTWRAPPING_QT_MAJOR=6 -DPYQTWRAPPING_BUILD_TESTS=OFF > /dev/null
# An embedding program looks for its standard library beside the "python3" on PATH, Debian's: an
# interpreter built under /opt is told where its own is.
PYTHONHOME=$("$python" -c 'import sys; print(sys.prefix)')
export PYTHONHOME
targets=(pyqtwrapping_benchmark)
[ "$mode" = smoke ] || targets+=(pyqtwrapping_scaling)
cmake --build "$build" --target "${targets[@]}" > /dev/null
if [ "$mode" = smoke ]; then
  "$build/benchmarks/pyqtwrapping_benchmark" --smoke
  echo "ok: benchmark table, once on small data"
else
  "$build/benchmarks/pyqtwrapping_benchmark"
  echo "ok: benchmark table"
  "$build/benchmarks/pyqtwrapping_scaling"
  echo "ok: scaling"
fi
