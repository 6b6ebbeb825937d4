#!/usr/bin/env bash
# Usage: free-threaded-python.sh PREFIX [CONFIGURE_OPTION ...]
#
# Builds a free-threaded CPython (configure --disable-gil, a shared libpython to embed) from the
# source of Debian's python3.13 package and installs it under PREFIX, e.g.
#   free-threaded-python.sh /opt/python3.13t
#   free-threaded-python.sh /opt/python3.13t-tsan --with-thread-sanitizer
# and keeps CPython's ThreadSanitizer suppressions for it as PREFIX/tsan-suppressions.txt.
#   free-threaded-python.sh /opt/python3.13 --enable-gil
# builds the same source with its lock (python3.13), the baseline the free-threaded one is
# measured against.
# Runs inside a Debian root file system (scripts/debian-leg.sh calls it in trixie's). The source is
# testing's package, the newest 3.13 Debian has, unpacked without Debian's own patches: those fit
# the interpreter into /usr's layout, and this one lives under PREFIX alone. A PREFIX whose stamp
# names the same source and options is kept: the build runs once per root file system.
set -euo pipefail
prefix=$1
shift
source_suite=${PYQTWRAPPING_PYTHON_SOURCE_SUITE:-forky}
mirror=${PYQTWRAPPING_DEBIAN_MIRROR:-http://deb.debian.org/debian}
work=/opt/src
stamp=$prefix/.pyqtwrapping-built
mkdir -p "$work"
cd "$work"

# The package's source, fetched once: a deb-src line of its own, outside the root's apt lists.
if ! ls python3.13_*.dsc > /dev/null 2>&1; then
  mkdir -p apt/lists/partial
  echo "deb-src $mirror $source_suite main" > apt/sources.list
  options=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=-
    -o "Dir::State::Lists=$work/apt/lists" -o APT::Sandbox::User=root)
  apt-get "${options[@]}" update -qq
  apt-get "${options[@]}" source --download-only -qq python3.13
fi
dsc=$(printf '%s\n' python3.13_*.dsc | sort -V | tail -1)
version=${dsc#python3.13_}
version=${version%.dsc}
wanted="$version $*"
interpreter=$prefix/bin/python3.13t
[[ " $* " != *" --enable-gil "* ]] || interpreter=$prefix/bin/python3.13
if [ -x "$interpreter" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$wanted" ]; then
  echo "kept: $prefix ($wanted)"
  exit 0
fi

tree=$work/build-$(basename "$prefix")
rm -rf "$tree" "$prefix"
dpkg-source --skip-patches -x "$dsc" "$tree" > /dev/null
cd "$tree"
start=$(date +%s)
# The library embeds the interpreter, so libpython3.13t.so finds its own folder at run time.
./configure --prefix="$prefix" --disable-gil --enable-shared --without-ensurepip --disable-test-modules \
  LDFLAGS="-Wl,-rpath,$prefix/lib" "$@" > "$tree.configure.log" 2>&1 ||
  { tail -30 "$tree.configure.log"; exit 1; }
make -j"$(nproc)" > "$tree.make.log" 2>&1 || { tail -30 "$tree.make.log"; exit 1; }
make install > "$tree.install.log" 2>&1 || { tail -30 "$tree.install.log"; exit 1; }
# CPython's own ThreadSanitizer suppressions for its free-threaded build, for the runs under it.
cp Tools/tsan/suppressions_free_threading.txt "$prefix/tsan-suppressions.txt"
cd "$work"
rm -rf "$tree"
echo "$wanted" > "$stamp"
echo "built: $prefix ($wanted) in $(($(date +%s) - start)) s"
