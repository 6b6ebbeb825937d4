#!/usr/bin/env bash
# Usage: docs.sh BUILD
# The documentation says what the project does: docs/conversions.md is what BUILD's pyqtwrap
# --reference writes now, and every shell block of README.md and docs/*.md runs from the project's
# root without failing. A block that must not run here is preceded by a line
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
