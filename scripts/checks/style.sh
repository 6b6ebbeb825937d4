#!/usr/bin/env bash
# Checks the style of every tracked C++ file: formatted by the project's .clang-format (Debian's
# clang-format), and no function body longer than 50 lines. Lists what fails and exits 1.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
status=0
for f in "${files[@]}"; do
  clang-format --dry-run -Werror "$f" > /dev/null 2>&1 || { echo "not formatted (clang-format -i $f)"; status=1; }
done
/usr/bin/python3 "$root/scripts/checks/function-length.py" "${files[@]}" || status=1
[ "$status" = 0 ] && echo "style: ${#files[@]} C++ files as .clang-format has them, no function over 50 lines"
exit "$status"
