#!/usr/bin/env bash
# Installs what is missing, builds the project and runs pyqtwrap on its built-in example
# (or on the arguments given).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DPython3_EXECUTABLE=/usr/bin/python3 > /dev/null
cmake --build "$build" -j"$(nproc)" --target pyqtwrap > /dev/null
exec "$build/tools/pyqtwrap/pyqtwrap" "$@"
