#!/usr/bin/env bash
# Usage: fetchcontent.sh PYTHON BUILD
# Builds the FetchContent host (examples/fetchcontent) against this tree, with the Qt, generator and
# compiler of BUILD, runs its consumer, and checks that the library's project added nothing to the
# host's build but the library: no other target, no test, nothing to install, no private header.
set -euo pipefail
python=$1
build=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
major=$(cached PYQTWRAPPING_QT_MAJOR)
mark=
[ "$major" != 6 ] || mark=Qt6

cmake -S "$root/examples/fetchcontent" -B "$work/host" -G "$(cached CMAKE_GENERATOR)" \
  -DCMAKE_CXX_COMPILER="$(cached CMAKE_CXX_COMPILER)" -DCMAKE_BUILD_TYPE=Release \
  -DPYQTWRAPPING_SOURCE_DIR="$root" -DCONSUMER_QT_MARK="$mark" -DPython3_EXECUTABLE="$python" \
  > "$work/configure.log" || { cat "$work/configure.log"; exit 1; }
targets=$(sed -n "s/^-- targets of the library's project: //p" "$work/configure.log")
echo "targets the library's project added: $targets"
[ "$targets" = "OrnKestraPyqtwrapping$mark" ] || { echo "expected only OrnKestraPyqtwrapping$mark"; exit 1; }
# Only the staged public header, never the library's sources and their private headers.
includes=$(sed -n "s/^-- include folders the library gives its users: //p" "$work/configure.log")
echo "include folders the library gives its users: $includes"
[[ $includes != *pyqtwrapping/src* ]]
cmake --build "$work/host" > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

tests=$(cd "$work/host" && ctest -N | sed -n 's/^Total Tests: //p')
echo "tests in the host's build: ${tests:-0}"
[ "${tests:-0}" = 0 ]
cmake --install "$work/host" --prefix "$work/prefix" > /dev/null
installed=$({ find "$work/prefix" -type f 2>/dev/null || true; } | wc -l)
echo "files the host's install puts in place: $installed"
[ "$installed" = 0 ]

out=$("$work/host/consumer")
echo "consumer: $out"
[ "$out" = "qt=$major name=kestra sizes=2 first=1 second=2.5" ]
