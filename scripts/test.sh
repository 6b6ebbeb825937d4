#!/usr/bin/env bash
# The test command. On this machine (Debian 12): installs what is missing, checks the C++ style and
# the shell scripts (scripts/checks/style.sh), builds everything and runs the whole test suite for
# Qt 5 and for Qt 6, checks the documentation (scripts/checks/docs.sh) and each build's exported ABI
# against its baseline (scripts/checks/abi.sh), and installs both builds side by side; builds the
# library and its unit tests against every CPython on the machine (Qt 5); builds both again with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs them with the interpreter on the system
# allocator, so that every Python allocation is checked too; and fuzzes for a minute (Qt 5). Then
# the legs of Debian 13 and Debian testing, each in a root file system of its own, and those of
# arm64, armhf and s390x, cross-compiled and run under qemu (scripts/debian-leg.sh). Prints one
# table of every leg and fails when any leg failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/install-deps.sh"
jobs=$(nproc)
mkdir -p "$root/build"
export PYQTWRAPPING_LEGS_TABLE=$root/build/legs.txt
: > "$PYQTWRAPPING_LEGS_TABLE"
status=0

# Every tracked C++ file formatted, and no function over 50 lines.
"$root/scripts/checks/style.sh" || status=1

qt_version() {
  local v
  v=$(dpkg-query -W -f='${Version}' "$1")
  echo "${v%%+*}"
}
python_version=$(/usr/bin/python3 -c 'import platform; print(platform.python_version())')
gxx_version=$(g++ -dumpfullversion -dumpversion)

# PRESET BUILD_DIR QT_PACKAGE: builds and tests one preset and adds its row to the legs table; a
# build that fails is a failed row, and the run goes on to the other legs.
preset_leg() {
  local preset=$1 build=$2 counts
  if cmake --preset "$preset" && cmake --build --preset "$preset" -j"$jobs"; then
    ctest --preset "$preset" -j"$jobs" 2>&1 | tee "$build/ctest.log" || true
    counts=$("$root/scripts/checks/ctest-counts.sh" "$build/ctest.log")
  else
    counts="FAILED 0 0 0"
  fi
  # shellcheck disable=SC2086 # $counts is four words: result, passed, failed, skipped
  "$root/scripts/checks/leg-row.sh" debian-12 x86-64 "$preset" "python3 $python_version" "Qt $(qt_version "$3")" \
    "g++ $gxx_version" $counts
  [[ $counts == passed* ]] || status=1
}

preset_leg default build qtbase5-dev
preset_leg qt6 build-qt6 qt6-base-dev
# docs/conversions.md as the library writes it now, and every shell block of the documentation.
"$root/scripts/checks/docs.sh" "$root/build" || status=1
# Each build's exported ABI against its baseline in abi/: only added members may differ.
"$root/scripts/checks/abi.sh" "$root/build" "$root/build-qt6" || status=1
# Both builds in one prefix, a consumer of each package built and run.
"$root/scripts/checks/consumer.sh" /usr/bin/python3 "$root/build" "$root/build-qt6" || status=1

# The library and its unit tests against every CPython from 3.7 up on this machine.
"$root/scripts/checks/interpreters.sh" || status=1

preset_leg sanitize build-sanitize qtbase5-dev
preset_leg sanitize-qt6 build-sanitize-qt6 qt6-base-dev
# The threads harness under ThreadSanitizer.
preset_leg tsan build-tsan qtbase5-dev

# One minute of fuzzing on the committed seeds, under both sanitizers.
"$root/scripts/fuzz.sh" 60 || status=1

# Debian 13 (Qt 5.15 and 6.8, CPython 3.13 and its debug build) and Debian testing (Qt 6.11,
# CPython 3.14 and 3.15, the sanitizers, clang).
"$root/scripts/debian-leg.sh" trixie || status=1
"$root/scripts/debian-leg.sh" forky || status=1
# Other CPUs: unsigned char (arm64), 32-bit long, pointers and Py_ssize_t (armhf), big-endian (s390x).
for suite in trixie-arm64 trixie-armhf forky-s390x; do
  "$root/scripts/debian-leg.sh" "$suite" || status=1
done

echo
"$root/scripts/checks/leg-row.sh" --header
cat "$PYQTWRAPPING_LEGS_TABLE"
exit $status
