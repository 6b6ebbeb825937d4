#!/usr/bin/env bash
# Builds the sub-interpreter scaling program optimised against a CPython of 3.12 or later and runs
# it: PYTHON in the environment names the interpreter (default: Debian's python3.12 or later, else
# pyenv's newest 3.12 or later). PYQTWRAPPING_QT_MAJOR=6 builds against Qt 6.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-}
if [ -z "$python" ]; then
  # Debian's newest, else pyenv's newest, by version order.
  pyenv_root=$( (pyenv root 2>/dev/null || echo "$HOME/.pyenv") | head -1)
  for pattern in '/usr/bin/python3.1[2-9]' "$pyenv_root/versions/3.1[2-9]*/bin/python3"; do
    while read -r candidate; do
      [ ! -x "$candidate" ] || python=$candidate
    done < <(compgen -G "$pattern" | sort -V)
    [ -z "$python" ] || break
  done
fi
[ -n "$python" ] || { echo "scaling: no CPython 3.12 or later found; set PYTHON" >&2; exit 1; }
"$root/scripts/install-deps.sh"
build=$root/build-scaling
cmake -S "$root" -B "$build" -DPython3_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Release \
  -DPYQTWRAPPING_QT_MAJOR="${PYQTWRAPPING_QT_MAJOR:-5}" -DPYQTWRAPPING_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" -j"$(nproc)" --target pyqtwrapping_scaling > /dev/null
exec "$build/benchmarks/pyqtwrapping_scaling"
