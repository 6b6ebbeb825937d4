#!/usr/bin/env bash
# Builds the library and its unit tests against every CPython from 3.7 up found on this machine, one
# build folder each under build-python/, runs the unit tests, the threads harness and the
# installed-package test there (on the debug interpreter the reliability harnesses too) and prints a row of the legs table for
# each. Debian's 3.11 and its debug build are required; a failure on any interpreter present fails
# the run.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
jobs=$(nproc)
pyenv_versions=$( (pyenv root 2>/dev/null || echo "$HOME/.pyenv") | head -1)/versions
mkdir -p "$root/build-python"
status=0

# The pyenv interpreter of a minor version, if it has a shared libpython to embed.
pyenv_python() {
  local dir
  for dir in "$pyenv_versions/$1".*; do
    if [ -x "$dir/bin/python3" ] && ls "$dir"/lib/libpython3*.so > /dev/null 2>&1; then
      echo "$dir/bin/python3"
      return
    fi
  done
}

# NAME PYTHON REQUIRED LABELS
check() {
  local name=$1 python=$2 required=$3 labels=$4
  if [ -z "$python" ] || [ ! -x "$python" ]; then
    row "$name" - not-found - - -
    [ "$required" = yes ] && status=1
    return
  fi
  local version build log targets=(pyqtwrapping_tests pyqtwrap)
  [[ $labels == *reliability* ]] && targets+=(pyqtwrapping_reliability)
  [[ $labels == *threads* ]] && targets+=(pyqtwrapping_threads)
  version=$("$python" -c 'import platform; print(platform.python_version())')
  build=$root/build-python/$name
  log=$root/build-python/$name.log
  if ! { cmake -S "$root" -B "$build" -DPython3_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
           -DPYQTWRAPPING_BUILD_BENCHMARKS=OFF &&
         cmake --build "$build" -j"$jobs" --target "${targets[@]}"; } > "$log" 2>&1; then
    row "$name" "${python##*/} $version" build-FAILED - - -
    echo "see build-python/$name.log"
    status=1
    return
  fi
  # The FetchContent host builds the library again; the main builds run it, once per Qt is enough.
  ctest --test-dir "$build" -L "$labels" -E consumer_fetchcontent -j"$jobs" --output-on-failure \
    > "$build/ctest.log" 2>&1 || status=1
  local counts
  counts=$("$root/scripts/checks/ctest-counts.sh" "$build/ctest.log")
  # shellcheck disable=SC2086 # $counts is four words: result, passed, failed, skipped
  row "$name" "${python##*/} $version" $counts
  [[ $counts == passed* ]] || { status=1; grep -E '\*\*\*|Failure' "$build/ctest.log" | head -20; }
}

# LEG INTERPRETER RESULT PASSED FAILED SKIPPED
row() {
  "$root/scripts/checks/leg-row.sh" debian-12 x86-64 "$1" "$2" "Qt $qt_version" "g++ $gxx_version" "${@:3}"
}
qt_version=$(dpkg-query -W -f='${Version}' qtbase5-dev)
qt_version=${qt_version%%+*}
gxx_version=$(g++ -dumpfullversion -dumpversion)

check debian /usr/bin/python3 yes 'unit|package|threads'
check debian-debug /usr/bin/python3.11-dbg yes 'unit|package|reliability|threads'
for minor in 3.7 3.8 3.9 3.10 3.11 3.12 3.13; do
  check "pyenv-$minor" "$(pyenv_python "$minor")" no 'unit|package|threads'
done
exit $status
