#!/usr/bin/env bash
# Usage: run-built.sh TARGET BINARY [ARGS...]
# Installs what is missing, builds TARGET (optimised, against Debian's Python) and runs BINARY, a
# path inside the build folder, with ARGS. The quick start and the benchmark both go through here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
target=$1
binary=$2
shift 2
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DPython3_EXECUTABLE=/usr/bin/python3 > /dev/null
cmake --build "$build" -j"$(nproc)" --target "$target" > /dev/null
exec "$build/$binary" "$@"
