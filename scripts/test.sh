#!/usr/bin/env bash
# The test command: installs what is missing, builds everything and runs the whole test suite, for
# Qt 5 and for Qt 6, and installs both builds side by side; builds the library and its unit tests
# against every CPython on the machine (Qt 5); then builds both again with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them there with the interpreter on the system allocator, so
# that every Python allocation is checked too; and fuzzes for a minute (Qt 5).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
jobs=$(nproc)

for preset in default qt6; do
  cmake --preset $preset
  cmake --build --preset $preset -j"$jobs"
  ctest --preset $preset -j"$jobs"
done
# Both builds in one prefix, a consumer of each package built and run.
"$root/scripts/checks/consumer.sh" /usr/bin/python3 "$root/build" "$root/build-qt6"

# The library and its unit tests against every CPython from 3.7 up on this machine.
"$root/scripts/checks/interpreters.sh"

for preset in sanitize sanitize-qt6; do
  cmake --preset $preset
  cmake --build --preset $preset -j"$jobs"
  ctest --preset $preset -j"$jobs"
done

# One minute of fuzzing on the committed seeds, under both sanitizers.
"$root/scripts/fuzz.sh" 60
