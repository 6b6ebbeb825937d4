#!/usr/bin/env bash
# Usage: abi.sh [--update] BUILD [BUILD ...]
# Compares the ABI that each build's shared library exports with its baseline in abi/ (libabigail's
# XML, written by abidw from the library's debugging information): the exported functions and every
# type they reach. Fails on any change but an added member: a removed or changed member, or a changed
# type layout, breaks hosts built against the baseline. An added member passes and is reported.
# abidiff's report is printed either way. --update writes the baselines anew from the builds; do that
# only with the change of SONAME that a break needs, or to take in a member added on purpose (see
# docs/contributing.md).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
update=false
if [ "${1:-}" = --update ]; then
  update=true
  shift
fi
status=0

# BUILD LIBRARY: the Debian symbols file of the build's runtime package, abi/PACKAGE.symbols. A
# symbol already there keeps its version; a new one gets the library's.
update_symbols() {
  local runtime development symbols version source template=()
  read -r runtime development < "$1/packaging/control/packages"
  symbols=$root/abi/$runtime.symbols
  version=${2##*.so.}
  [ ! -e "$symbols" ] || template=(-I"$symbols")
  # dpkg-gensymbols reads the source package's debian/control; one naming the package serves.
  source=$(mktemp -d)
  mkdir "$source/debian"
  printf 'Source: orn-kestra-pyqtwrapping\n\nPackage: %s\nArchitecture: any\n' "$runtime" > "$source/debian/control"
  (cd "$source" && dpkg-gensymbols -q -p"$runtime" -v"$version" -e"$2" "${template[@]}" -O"$symbols")
  rm -rf "$source"
  grep -q '^\* Build-Depends-Package:' "$symbols" || sed -i "1a * Build-Depends-Package: $development" "$symbols"
  echo "wrote $symbols from $2"
}

for build in "$@"; do
  dir=$(cd "$build" && pwd)/libraries/internal/pyqtwrapping
  lib=$(find "$dir" -maxdepth 1 -name 'libOrn.Kestra.Pyqtwrapping*.so.*.*.*' | sort -V | tail -1)
  [ -n "$lib" ] || { echo "FAILED: no library built in $dir"; status=1; continue; }
  name=$(basename "${lib%%.so.*}")
  baseline=$root/abi/$name.abi
  current=$build/$name.abi
  # Only the public header's types count as the library's own; Qt's and CPython's types are kept
  # as far as the members reach them, so that a member that takes another type is a change.
  abidw --no-corpus-path --no-show-locs --no-comp-dir-path --headers-dir "$dir/include" \
    --drop-private-types "$lib" > "$current"
  if $update; then
    cp "$current" "$baseline"
    echo "wrote $baseline from $lib"
    update_symbols "$build" "$lib"
    continue
  fi
  # abidiff's status is a bit set: 1 error, 2 usage, 4 a change, 8 an incompatible change. Without
  # the added symbols, any change left is one that a host built against the baseline would meet.
  report=$(abidiff "$baseline" "$current") && full=0 || full=$?
  abidiff --no-added-syms "$baseline" "$current" > /dev/null && breaking=0 || breaking=$?
  if [ "$breaking" != 0 ]; then
    printf 'FAILED: %s differs from its baseline %s (abidiff status %s):\n%s\n' "$lib" "$baseline" "$full" "$report"
    status=1
  elif [ "$full" != 0 ]; then
    printf 'ok: %s keeps its baseline and adds:\n%s\n' "$(basename "$lib")" "$report"
  else
    echo "ok: $(basename "$lib") exports the ABI of its baseline"
  fi
done
exit $status
