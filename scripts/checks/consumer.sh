#!/usr/bin/env bash
# Usage: consumer.sh BUILD PYTHON
# Installs the built project into a scratch prefix, then builds and runs the example consumer
# against it twice: through the CMake package and through the pkg-config file, with the interpreter
# the build used.
set -euo pipefail
build=$1
python=$2
libpc=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('LIBPC') or '')")
libdir=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('LIBDIR') or '')")
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"

cmake -S "$root/examples/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DPython3_EXECUTABLE="$python" > "$work/configure.log" || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/consumer" > "$work/build.log" || { cat "$work/build.log"; exit 1; }
out=$(LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer/consumer")
echo "cmake package: $out"
[ "$out" = "name=kestra sizes=2 first=1 second=2.5" ]

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig:$libpc"
sed -i "s|^prefix=.*|prefix=$work/prefix|" "$work/prefix/lib/pkgconfig/orn-kestra-pyqtwrapping.pc"
flags=$(pkg-config --cflags --libs orn-kestra-pyqtwrapping)
echo "pkg-config flags: $flags"
# shellcheck disable=SC2086
g++ -std=c++17 -fPIC "$root/examples/consumer/main.cpp" -o "$work/consumer-pc" $flags
out=$(LD_LIBRARY_PATH="$work/prefix/lib:$libdir" "$work/consumer-pc")
echo "pkg-config:    $out"
[ "$out" = "name=kestra sizes=2 first=1 second=2.5" ]
