#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with; does nothing when all are there.
set -euo pipefail
packages=(
  g++ cmake pkg-config
  qtbase5-dev qt6-base-dev
  python3.11-dev python3-numpy python3.11-dbg
  libgtest-dev libbenchmark-dev pybind11-dev python3-pyqt5 python3-pyqt6
  clang libclang-rt-14-dev clang-format valgrind
  debootstrap qemu-user-static
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
