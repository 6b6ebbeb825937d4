#!/usr/bin/env bash
# Usage: consumer.sh PYTHON BUILD [BUILD ...]
# Installs the given builds into one scratch prefix (a Qt 5 and a Qt 6 build side by side: no file
# of one may be a file of the other), then for each builds and runs the example consumer against it
# twice: through its CMake package and through its pkg-config module, with the builds' interpreter,
# and with the generator and compiler of the build (a machine with Ninja need not have make).
set -euo pipefail
python=$1
shift
libpc=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('LIBPC') or '')")
libdir=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('LIBDIR') or '')")
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

for build in "$@"; do
  cmake --install "$build" --prefix "$prefix" > "$work/install.log"
  sed "s|^$prefix/||" "$build/install_manifest.txt" | sort >> "$work/files"
done
shared=$(sort "$work/files" | uniq -d)
if [ -n "$shared" ]; then
  echo "installed by more than one build:"; echo "$shared"; exit 1
fi
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$libpc"
sed -i "s|^prefix=.*|prefix=$prefix|" "$prefix"/lib/pkgconfig/orn-kestra-pyqtwrapping*.pc

for build in "$@"; do
  cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
  major=$(cached PYQTWRAPPING_QT_MAJOR)
  generator=$(cached CMAKE_GENERATOR)
  compiler=$(cached CMAKE_CXX_COMPILER)
  mark=$([ "$major" = 6 ] && echo Qt6 || true)
  expected="qt=$major name=kestra sizes=2 first=1 second=2.5"
  out_dir=$work/consumer-qt$major
  cmake -S "$root/examples/consumer" -B "$out_dir" -G "$generator" -DCMAKE_CXX_COMPILER="$compiler" \
    -DCMAKE_PREFIX_PATH="$prefix" \
    -DCONSUMER_QT_MARK="$mark" -DPython3_EXECUTABLE="$python" > "$work/configure.log" \
    || { cat "$work/configure.log"; exit 1; }
  cmake --build "$out_dir" > "$work/build.log" || { cat "$work/build.log"; exit 1; }
  out=$(LD_LIBRARY_PATH="$prefix/lib" "$out_dir/consumer")
  echo "Qt $major, cmake package OrnKestraPyqtwrapping$mark: $out"
  [ "$out" = "$expected" ]

  module=orn-kestra-pyqtwrapping$([ -n "$mark" ] && echo -qt6 || true)
  flags=$(pkg-config --cflags --libs "$module")
  echo "Qt $major, pkg-config $module: $flags"
  # shellcheck disable=SC2086
  "$compiler" -std=c++17 -fPIC "$root/examples/consumer/main.cpp" -o "$out_dir/consumer-pc" $flags
  out=$(LD_LIBRARY_PATH="$prefix/lib:$libdir" "$out_dir/consumer-pc")
  echo "Qt $major, pkg-config $module: $out"
  [ "$out" = "$expected" ]
done
