#!/usr/bin/env bash
# Usage: consumer.sh PYTHON BUILD [BUILD ...]
#        consumer.sh --installed PYTHON BUILD [BUILD ...]
# Installs the given builds into one scratch prefix (a Qt 5 and a Qt 6 build side by side: no file
# of one may be a file of the other), or with --installed takes what the system has installed (the
# builds' Debian packages), then for each builds and runs the example consumer against it twice:
# through its CMake package and through its pkg-config module, with the builds' interpreter, and
# with the generator and compiler of the build (a machine with Ninja need not have make). With
# --installed it also checks the dependency dpkg-shlibdeps gives a host package of the consumer.
set -euo pipefail
installed=false
[ "$1" = --installed ] && { installed=true; shift; }
python=$1
shift
libpc=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('LIBPC') or '')")
pylibdir=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('LIBDIR') or '')")
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cached() { sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"; }
libdir=$(cached "$1" CMAKE_INSTALL_LIBDIR)

# BUILD PROGRAM: a host package holding PROGRAM, built against the installed packages, depends on
# the build's runtime package at the version that its symbols file gives the newest member used.
shlibdeps_check() {
  local runtime version depends
  read -r runtime _ < "$1/packaging/control/packages"
  dpkg-query --control-show "$runtime" symbols | grep -q '^ _ZN13TPyQtWrapping' ||
    { echo "FAILED: $runtime has no symbols file"; exit 1; }
  version=$(dpkg-query -W -f='${Version}' "$runtime")
  version=${version%-*}
  mkdir -p "$work/host/debian/host/usr/bin" "$work/host/debian/host/DEBIAN"
  printf 'Source: host\n\nPackage: host\nArchitecture: any\n' > "$work/host/debian/control"
  cp "$2" "$work/host/debian/host/usr/bin/"
  depends=$(cd "$work/host" && dpkg-shlibdeps -O "debian/host/usr/bin/${2##*/}")
  echo "dpkg-shlibdeps of the consumer: $depends"
  [[ $depends == *"$runtime (>= $version)"* ]] || { echo "FAILED: no dependency on $runtime (>= $version)"; exit 1; }
}

prefix=/usr
if ! $installed; then
  prefix=$work/prefix
  for build in "$@"; do
    cmake --install "$build" --prefix "$prefix" > "$work/install.log"
    sed "s|^$prefix/||" "$build/install_manifest.txt" | sort >> "$work/files"
  done
  shared=$(sort "$work/files" | uniq -d)
  if [ -n "$shared" ]; then
    echo "installed by more than one build:"; echo "$shared"; exit 1
  fi
fi
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig:$libpc"

for build in "$@"; do
  major=$(cached "$build" PYQTWRAPPING_QT_MAJOR)
  compiler=$(cached "$build" CMAKE_CXX_COMPILER)
  mark=
  [ "$major" != 6 ] || mark=Qt6
  expected="qt=$major name=kestra sizes=2 first=1 second=2.5"
  out_dir=$work/consumer-qt$major
  cmake -S "$root/examples/consumer" -B "$out_dir" -G "$(cached "$build" CMAKE_GENERATOR)" \
    -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCONSUMER_QT_MARK="$mark" -DPython3_EXECUTABLE="$python" > "$work/configure.log" \
    || { cat "$work/configure.log"; exit 1; }
  cmake --build "$out_dir" > "$work/build.log" || { cat "$work/build.log"; exit 1; }
  out=$(LD_LIBRARY_PATH="$prefix/$libdir" "$out_dir/consumer")
  echo "Qt $major, cmake package OrnKestraPyqtwrapping$mark: $out"
  [ "$out" = "$expected" ]
  ! $installed || shlibdeps_check "$build" "$out_dir/consumer"

  module=orn-kestra-pyqtwrapping${mark:+-qt6}
  flags=$(pkg-config --cflags --libs "$module")
  echo "Qt $major, pkg-config $module (requires $(pkg-config --print-requires "$module" | tr '\n' ' ')): $flags"
  # shellcheck disable=SC2086 # pkg-config prints its flags as words for the command line
  "$compiler" -std=c++17 -fPIC "$root/examples/consumer/main.cpp" -o "$out_dir/consumer-pc" $flags
  out=$(LD_LIBRARY_PATH="$prefix/$libdir:$pylibdir" "$out_dir/consumer-pc")
  echo "Qt $major, pkg-config $module: $out"
  [ "$out" = "$expected" ]
done
