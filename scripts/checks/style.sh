#!/usr/bin/env bash
# Checks the style of every tracked C++ file: formatted by the project's .clang-format (Debian's
# clang-format), and no function body longer than 50 lines; and every tracked shell script (a .sh
# file or one whose first line names a shell) with Debian's shellcheck, which must find nothing: a
# finding that is right as it stands is disabled on the line before, with the reason beside it.
# Lists what fails and exits 1.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
status=0
for f in "${files[@]}"; do
  clang-format --dry-run -Werror "$f" > /dev/null 2>&1 || { echo "not formatted (clang-format -i $f)"; status=1; }
done
/usr/bin/python3 "$root/scripts/checks/function-length.py" "${files[@]}" || status=1
mapfile -t scripts < <(git ls-files | while read -r f; do
  [[ $f == *.sh ]] || head -1 "$f" 2> /dev/null | grep -qE '^#!.*\b(ba|da)?sh\b' && echo "$f"
done)
shellcheck "${scripts[@]}" || status=1
[ "$status" = 0 ] && echo "style: ${#files[@]} C++ files as .clang-format has them, no function over 50 lines;" \
  "${#scripts[@]} shell scripts that shellcheck finds nothing in"
exit "$status"
