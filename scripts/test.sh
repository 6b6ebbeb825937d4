#!/usr/bin/env bash
# The test command: installs what is missing, builds everything and runs the whole test suite;
# builds the library and its unit tests against every CPython on the machine; then builds it again
# with AddressSanitizer and UndefinedBehaviorSanitizer and runs it there with the interpreter on the
# system allocator, so that every Python allocation is checked too; and fuzzes for a minute.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
jobs=$(nproc)

cmake --preset default
cmake --build --preset default -j"$jobs"
ctest --preset default -j"$jobs"

# The library and its unit tests against every CPython from 3.7 up on this machine.
"$root/scripts/checks/interpreters.sh"

cmake --preset sanitize
cmake --build --preset sanitize -j"$jobs"
ctest --preset sanitize -j"$jobs"

# One minute of fuzzing on the committed seeds, under both sanitizers.
"$root/scripts/fuzz.sh" 60
