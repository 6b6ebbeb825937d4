#!/usr/bin/env bash
# Usage: run-built.sh TARGET BINARY [ARGS...]
# Installs what is missing, builds TARGET (optimised, against Debian's Python) and runs BINARY, a
# path inside the build folder, with ARGS. The quick start and the benchmark both go through here.
# PYQTWRAPPING_QT_MAJOR=6 in the environment builds against Qt 6, in build-qt6.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
qt_major=${PYQTWRAPPING_QT_MAJOR:-5}
default_build=$root/build
[ "$qt_major" != 6 ] || default_build=$root/build-qt6
build=${BUILD_DIR:-$default_build}
target=$1
binary=$2
shift 2
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DPython3_EXECUTABLE=/usr/bin/python3 -DPYQTWRAPPING_QT_MAJOR="$qt_major" > /dev/null
cmake --build "$build" -j"$(nproc)" --target "$target" > /dev/null
exec "$build/$binary" "$@"
