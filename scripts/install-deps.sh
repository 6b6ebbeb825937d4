#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, with apt-get as root (through sudo
# when not root), after printing each missing one and why it is needed; does nothing when all are
# there. This is everything the test command installs on this machine: the other suites' packages
# go into their own root file systems (scripts/debian-leg.sh).
set -euo pipefail
# Package, then why.
needed=(
  g++ "builds the library, its tests and tools"
  cmake "configures and runs the builds and tests"
  pkg-config "the pkg-config route of the consumer check"
  qtbase5-dev "the Qt 5 build"
  qt6-base-dev "the Qt 6 build"
  python3.11-dev "Debian 12's CPython the builds embed"
  python3-numpy "NumPy's C headers for the build, and the array tests"
  python3.11-dbg "the debug interpreter's reference checks"
  libgtest-dev "the unit tests and harnesses"
  libbenchmark-dev "the benchmark table"
  pybind11-dev "the benchmark's pybind11 column"
  python3-pyqt5 "the benchmark's PyQt5 column"
  python3-pyqt6 "the benchmark's PyQt6 column"
  clang "the fuzzer (libFuzzer)"
  libclang-rt-14-dev "the fuzzer's and sanitizers' runtimes"
  clang-format "the C++ style check"
  shellcheck "the shell scripts' check"
  abigail-tools "the ABI check against the baselines in abi/"
  valgrind "the instruction counts of scripts/callgrind-dict.sh"
  debootstrap "makes the Debian 13 and testing root file systems of the other legs"
  qemu-user-static "runs the arm64, armhf and s390x legs' programs"
)
missing=()
for ((i = 0; i < ${#needed[@]}; i += 2)); do
  p=${needed[i]}
  if ! dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
    echo "to install: $p (${needed[i + 1]})"
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "installing ${#missing[@]} Debian packages with apt-get${sudo_cmd[*]:+ through sudo}"
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
