#!/usr/bin/env bash
# Usage: docs.sh BUILD
# The documentation says what the project does: docs/conversions.md is what BUILD's pyqtwrap
# --reference writes now; the paths and links the documents name exist and the manual page lists
# pyqtwrap's options (doc-paths.py); README's first host builds from its text; and every shell
# block of README.md and docs/*.md runs from the project's root without failing. A block that must not run here is preceded by a line
# "<!-- doc-check: skip (the reason) -->".
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
cd "$root"
status=0

tool=$(find "$build/tools/pyqtwrap" -maxdepth 1 -name 'pyqtwrap*' -type f -perm -u+x | head -1)
if "$tool" --reference | diff -u docs/conversions.md - > "$build/conversions.diff"; then
  echo "ok: docs/conversions.md is what $tool --reference writes"
else
  head -40 "$build/conversions.diff"
  echo "FAILED: docs/conversions.md differs from the library; write it again with"
  echo "  $tool --reference > docs/conversions.md"
  status=1
fi

/usr/bin/python3 "$root/scripts/checks/doc-paths.py" "$root" "$tool" || status=1

# README's first host, built from the README's own text (its CMakeLists.txt and main.cpp blocks)
# against BUILD installed into a scratch prefix, with nothing added but that prefix.
host=$(mktemp -d)
awk -v out="$host" '
  /^## A first host/ { section = 1; next }
  /^## / { section = 0 }
  section && /^```cmake$/ { file = out "/CMakeLists.txt"; next }
  section && /^```cpp$/ { file = out "/main.cpp"; next }
  /^```/ { file = ""; next }
  file { print > file }
' README.md
if cmake --install "$build" --prefix "$host/prefix" > "$host/log" 2>&1 &&
  cmake -S "$host" -B "$host/build" -DCMAKE_PREFIX_PATH="$host/prefix" >> "$host/log" 2>&1 &&
  cmake --build "$host/build" >> "$host/log" 2>&1 &&
  [ "$(LD_LIBRARY_PATH="$host/prefix/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")" \
    "$host/build/myhost")" = kestra ]; then
  echo "ok: README's first host builds from its own text and prints kestra"
else
  tail -30 "$host/log"
  echo "FAILED: README's first host, built from its text against an installed prefix"
  status=1
fi
rm -rf "$host"

# Each shell block as FILE:LINE and its text, blocks marked to skip left out (their reason shown).
blocks=$(mktemp -d)
trap 'rm -rf "$blocks"' EXIT
awk -v out="$blocks" '
  FNR == 1 { skip = "" }
  /^<!-- doc-check: skip/ { skip = $0; next }
  /^```sh$/ { if (skip == "") { n++; file = sprintf("%s/%03d", out, n); print FILENAME ":" FNR > (file ".where") }
              else print "skipped " FILENAME ":" FNR ": " skip; inside = 1; next }
  /^```/ && inside { inside = 0; skip = ""; if (file) close(file); file = ""; next }
  inside && file { print > file; next }
  { if ($0 != "") skip = "" }
' README.md docs/*.md
for block in "$blocks"/[0-9][0-9][0-9]; do
  where=$(cat "$block.where")
  if (cd "$root" && bash -euo pipefail "$block") > "$block.log" 2>&1; then
    echo "ok: $where"
  else
    echo "FAILED: the shell block at $where:"; sed 's/^/  | /' "$block"; tail -20 "$block.log"
    status=1
  fi
done
exit $status
