#!/usr/bin/env bash
# Usage: debian-leg.sh SUITE [LEG ...]      run legs (all of SUITE's when none is named)
#        debian-leg.sh --list               the suites and their legs
#        debian-leg.sh --prepare SUITE      create or update SUITE's root file system, run nothing
#        debian-leg.sh --remove SUITE       delete SUITE's root file system
#
# Runs legs of the build and CTest suite inside a Debian root file system of a newer suite: trixie
# (Debian 13) or forky (Debian testing) on this machine's CPU, or another CPU's suite: trixie-arm64
# (unsigned char), trixie-armhf (32-bit long, pointers and Py_ssize_t) and forky-s390x (big-endian).
# A CPU suite's root is an x86-64 one holding Debian's cross compiler and that CPU's Qt, CPython and
# NumPy (multiarch); the build runs at native speed and every program it makes, the interpreter's
# own included, runs through qemu-user-static, whose binfmt handler for that CPU is registered when
# missing (others are left alone). The root file system is made with debootstrap from
# Debian's mirror on first use and kept, with its packages, under $PYQTWRAPPING_ROOTS (default
# /var/cache/pyqtwrapping-roots), outside every source tree and build folder. The source tree is
# copied in and every build stays inside the root file system.
#
# /proc, /dev and /sys are bound in inside a private mount namespace (unshare), so the binds exist
# only for the run and vanish with its last process, whichever way it ends; they are also unbound
# explicitly on every way out. A root file system is only ever removed after checking that nothing
# is mounted inside it, and with rm --one-file-system, since a removal that walked into a bound /dev
# would delete the host's.
#
# Prints one row per leg (suite, CPU, interpreter, Qt, compiler, result, passed/failed/skipped), appends
# it to $PYQTWRAPPING_LEGS_TABLE when that is set, and fails when a leg fails.
set -euo pipefail
source_tree=$(cd "$(dirname "$0")/.." && pwd)
roots=${PYQTWRAPPING_ROOTS:-/var/cache/pyqtwrapping-roots}
mirror=${PYQTWRAPPING_DEBIAN_MIRROR:-http://deb.debian.org/debian}
jobs=$(nproc)

# ---- Suites and legs ------------------------------------------------------------------------------

all_suites="trixie forky trixie-arm64 trixie-armhf forky-s390x"

# CPU: the GNU triplet, CMake's processor name and qemu's name for it.
cpu_target() {
  case $1 in
    arm64) echo "aarch64-linux-gnu aarch64 aarch64" ;;
    armhf) echo "arm-linux-gnueabihf arm arm" ;;
    s390x) echo "s390x-linux-gnu s390x s390x" ;;
    *) return 1 ;;
  esac
}
# The Debian release of a suite, and its CPU (empty for this machine's).
suite_release() { echo "${1%%-*}"; }
suite_cpu() { [[ $1 != *-* ]] || echo "${1#*-}"; }

suite_packages() {
  local cpu triplet
  cpu=$(suite_cpu "$1")
  if [ -n "$cpu" ]; then
    read -r triplet _ <<< "$(cpu_target "$cpu")"
    echo "g++-$triplet cmake ninja-build pkg-config qt6-base-dev:$cpu libgtest-dev:$cpu python3-dev:$cpu
      python3-numpy:$cpu"
    return
  fi
  local common="g++ cmake ninja-build pkg-config python3-dev python3-numpy qt6-base-dev
    libgtest-dev libbenchmark-dev pybind11-dev python3-pyqt6"
  case $1 in
    # libffi, zlib, bzip2 and xz: what the free-threaded interpreters' modules build with.
    trixie) echo "$common python3.13-dev python3.13-dbg qtbase5-dev python3-pyqt5 dpkg-dev lintian man-db
      libffi-dev zlib1g-dev libbz2-dev liblzma-dev" ;;
    forky) echo "$common python3.14-dev python3.15-dev clang-22 libclang-rt-22-dev nanobind-dev
      python3-pyside6.qtcore" ;;
    *) return 1 ;;
  esac
}

suite_legs() {
  case $1 in
    trixie) echo "qt5 qt6 packages debug-qt6 ft ft-tsan" ;;
    forky) echo "py3.14 py3.15 sanitize tsan clang" ;;
    trixie-arm64 | trixie-armhf | forky-s390x) echo "cross" ;;
    *) return 1 ;;
  esac
}

# Sets python, qt, cxx, cmake_args, labels, ctest_args and test_env for one leg; or check, the
# command of a leg that builds nothing of its own, and show=1 when its output is the result;
# interpreter, the command that builds the leg's interpreter when the root has not kept it.
leg_config() {
  python=/usr/bin/python3 qt=6 cxx=g++ cmake_args=() labels='' ctest_args=() test_env=() check='' show=''
  interpreter=''
  case $1/$2 in
    # Installed under /usr, as Debian packages are made from them.
    trixie/qt5) python=/usr/bin/python3.13 qt=5 cmake_args=(-DCMAKE_INSTALL_PREFIX=/usr) ;;
    trixie/qt6) python=/usr/bin/python3.13 cmake_args=(-DCMAKE_INSTALL_PREFIX=/usr) ;;
    # The Debian packages of the qt5 and qt6 legs' builds, which it runs after.
    trixie/packages) python=/usr/bin/python3.13 qt=5+6
      check="/work/src/scripts/checks/debian-packages.sh $python /work/build/qt5 /work/build/qt6" ;;
    # The debug interpreter: unit, package, reliability and threads tests, the total reference count
    # among them.
    trixie/debug-qt6) python=/usr/bin/python3.13d labels='unit|package|reliability|threads'
      cmake_args=(-DPYQTWRAPPING_BUILD_BENCHMARKS=OFF) ;;
    # Free-threaded CPython 3.13 built from Debian's source (scripts/free-threaded-python.sh), and
    # the same built for ThreadSanitizer, under which the threads harnesses run with CPython's own
    # suppressions only. Debian has no NumPy for it: the array tests skip.
    trixie/ft) python=/opt/python3.13t/bin/python3.13t labels='unit|reliability|package|threads'
      interpreter="/work/src/scripts/free-threaded-python.sh /opt/python3.13t"
      cmake_args=(-DPYQTWRAPPING_BUILD_BENCHMARKS=OFF) ;;
    trixie/ft-tsan) python=/opt/python3.13t-tsan/bin/python3.13t labels='threads'
      interpreter="/work/src/scripts/free-threaded-python.sh /opt/python3.13t-tsan --with-thread-sanitizer"
      cmake_args=(-DPYQTWRAPPING_TSAN=ON -DPYQTWRAPPING_BUILD_BENCHMARKS=OFF -DPYQTWRAPPING_BUILD_TOOLS=OFF)
      test_env=(QT_NO_GLIB=1
        "TSAN_OPTIONS=halt_on_error=1:report_thread_leaks=0:suppressions=/opt/python3.13t-tsan/tsan-suppressions.txt") ;;
    # On demand only: the benchmark table and the scaling of host threads, on the free-threaded
    # interpreter and on the same source built with its lock.
    trixie/benchmark-ft) python=/opt/python3.13t/bin/python3.13t show=1
      interpreter="/work/src/scripts/free-threaded-python.sh /opt/python3.13t"
      check="/work/src/scripts/checks/benchmark-leg.sh $python ${PYQTWRAPPING_BENCHMARK:-full}" ;;
    trixie/benchmark) python=/opt/python3.13/bin/python3.13 show=1
      interpreter="/work/src/scripts/free-threaded-python.sh /opt/python3.13 --enable-gil"
      check="/work/src/scripts/checks/benchmark-leg.sh $python ${PYQTWRAPPING_BENCHMARK:-full}" ;;
    forky/py3.14) python=/usr/bin/python3.14 ;;
    forky/py3.15) python=/usr/bin/python3.15 ;;
    forky/sanitize) python=/usr/bin/python3.14
      cmake_args=(-DPYQTWRAPPING_SANITIZE=ON -DPYQTWRAPPING_BUILD_BENCHMARKS=OFF)
      ctest_args=(-E 'consumer_|SoakTest')
      test_env=(PYTHONMALLOC=malloc
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
        LSAN_OPTIONS=suppressions=/work/src/scripts/lsan.supp:print_suppressions=0
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1) ;;
    # ThreadSanitizer over the threads harness, sub-interpreters with a lock each among it (see
    # scripts/tsan.supp for the options).
    forky/tsan) python=/usr/bin/python3.14 labels='threads'
      cmake_args=(-DPYQTWRAPPING_TSAN=ON -DPYQTWRAPPING_BUILD_BENCHMARKS=OFF -DPYQTWRAPPING_BUILD_TOOLS=OFF)
      test_env=(QT_NO_GLIB=1 "TSAN_OPTIONS=halt_on_error=1:report_thread_leaks=0:suppressions=/work/src/scripts/tsan.supp") ;;
    forky/clang) python=/usr/bin/python3.14 cxx=clang++-22 cmake_args=(-DPYQTWRAPPING_WERROR=ON) ;;
    # On demand only (scripts/benchmark.sh --suite forky): the benchmark table with the nanobind
    # and PySide6 columns, then the sub-interpreter scaling; PYQTWRAPPING_BENCHMARK=smoke runs the
    # table once on small data. Every other leg runs the table on small data among its tests.
    forky/benchmark) python=/usr/bin/python3.14 show=1
      check="/work/src/scripts/checks/benchmark-leg.sh $python ${PYQTWRAPPING_BENCHMARK:-full}" ;;
    # Cross-compiled with warnings as errors; the unit, package and reliability tests under qemu.
    # The toolchain file reaches the package tests' own CMake runs through the environment, and
    # pkg-config reads the CPU's modules only.
    *-*/cross) python=/usr/bin/python3 cxx=$(cpu_target "$(suite_cpu "$1")" | cut -d' ' -f1)-g++
      labels='unit|package|reliability'
      cmake_args=(-DCMAKE_TOOLCHAIN_FILE=/work/toolchain.cmake -DPYQTWRAPPING_WERROR=ON
        -DPYQTWRAPPING_BUILD_BENCHMARKS=OFF)
      test_env=(CMAKE_TOOLCHAIN_FILE=/work/toolchain.cmake
        "PKG_CONFIG_LIBDIR=/usr/lib/${cxx%-g++}/pkgconfig:/usr/share/pkgconfig") ;;
    *) echo "no leg '$2' in suite '$1' (see --list)" >&2; return 1 ;;
  esac
}

# ---- The root file system -------------------------------------------------------------------------

quote() { [ $# -eq 0 ] || printf '%q ' "$@"; }
die() { echo "debian-leg: $*" >&2; exit 1; }

# Whatever is mounted at or under a root file system, as seen from this mount namespace.
mounts_under() {
  awk -v r="$1" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts
}

remove_root() {
  local root=$roots/$1 dir
  [ -d "$root" ] || return 0
  for dir in proc dev sys; do
    ! mountpoint -q "$root/$dir" || die "$root/$dir is mounted: not removing $root"
  done
  [ -z "$(mounts_under "$root")" ] || die "something is mounted under $root: not removing it"
  rm -rf --one-file-system "$root"
}

# Runs a shell command inside the root file system, as root, with /proc, /dev and /sys bound in
# for the duration of the command only.
in_root() {
  local root=$1 status
  shift
  # shellcheck disable=SC2016 # the script expands its own arguments, in the new namespace
  unshare --mount --propagation private /bin/bash -c '
    root=$1; shift
    unbind() { for d in sys dev proc; do ! mountpoint -q "$root/$d" || umount "$root/$d"; done; }
    trap unbind EXIT
    trap "exit 130" INT TERM
    for d in proc dev sys; do mount --bind "/$d" "$root/$d"; done
    chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
      DEBIAN_FRONTEND=noninteractive /bin/bash -c "$1"
  ' in-root "$root" "$@" && status=0 || status=$?
  [ -z "$(mounts_under "$root")" ] || die "mounts left under $root after a run"
  return $status
}

# Lets this machine run a CPU's programs, in root file systems too: qemu-user-static's handler for
# it, registered with the F flag (the emulator is opened now, not looked up inside the root).
register_binfmt() {
  local name=qemu-$1 dir=/proc/sys/fs/binfmt_misc
  if ! mountpoint -q $dir; then
    echo "mounting the kernel's binfmt_misc file system at $dir, to register qemu's handlers"
    mount -t binfmt_misc binfmt_misc $dir
  fi
  if [ ! -e "$dir/$name" ]; then
    [ -e "/usr/lib/binfmt.d/$name.conf" ] || die "no $name handler (apt-get install qemu-user-static)"
    echo "registering qemu-user-static's $name handler with the kernel (binfmt_misc), until reboot"
    cat "/usr/lib/binfmt.d/$name.conf" > $dir/register
  fi
  grep -q '^enabled' "$dir/$name" || die "the $name handler is disabled"
  grep -q '^flags:.*F' "$dir/$name" || die "the $name handler lacks the F flag, so a root file system cannot use it"
}

# The CMake toolchain file of a CPU suite: Debian's cross compiler, the CPU's multiarch folders, and
# Qt's tools from this machine's packages.
write_toolchain() {
  local triplet processor
  read -r triplet processor _ <<< "$(cpu_target "$2")"
  printf 'set(%s)\n' "CMAKE_SYSTEM_NAME Linux" "CMAKE_SYSTEM_PROCESSOR $processor" \
    "CMAKE_C_COMPILER $triplet-gcc" "CMAKE_CXX_COMPILER $triplet-g++" \
    "CMAKE_LIBRARY_ARCHITECTURE $triplet" "QT_HOST_PATH /usr" > "$1/work/toolchain.cmake"
}

# Creates the root file system on first use, then installs what the suite's legs need when the
# list changed since the last install.
prepare_root() {
  local suite=$1 root=$roots/$1 release cpu packages script
  release=$(suite_release "$suite")
  cpu=$(suite_cpu "$suite")
  packages=$(suite_packages "$suite" | tr -s ' \n' ' ')
  [ -z "$cpu" ] || register_binfmt "$(cpu_target "$cpu" | cut -d' ' -f3)"
  if [ ! -e "$root/.pyqtwrapping-bootstrapped" ]; then
    command -v debootstrap > /dev/null || die "debootstrap is not installed (apt-get install debootstrap)"
    remove_root "$suite" # a creation that did not finish
    mkdir -p "$roots"
    # testing's next release has no script of its own in older debootstraps; sid's serves it.
    script=/usr/share/debootstrap/scripts/$release
    [ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
    echo "creating the $suite root file system in $root with debootstrap from $mirror"
    debootstrap --variant=minbase "$release" "$root" "$mirror" "$script" > "$roots/$suite.debootstrap.log" 2>&1 ||
      { tail -20 "$roots/$suite.debootstrap.log"; die "debootstrap of $suite failed"; }
    # A testing mirror's Release file can be past its Valid-Until date.
    echo 'Acquire::Check-Valid-Until "false";' > "$root/etc/apt/apt.conf.d/99pyqtwrapping"
    [ -z "$cpu" ] || chroot "$root" dpkg --add-architecture "$cpu"
    touch "$root/.pyqtwrapping-bootstrapped"
  fi
  if [ "$(cat "$root/.pyqtwrapping-packages" 2>/dev/null)" != "$packages" ]; then
    echo "installing the $suite packages in its root file system: $packages"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    in_root "$root" "apt-get update -qq && apt-get install -y -qq --no-install-recommends $packages" \
      > "$roots/$suite.apt.log" 2>&1 || { tail -20 "$roots/$suite.apt.log"; die "apt-get in $suite failed"; }
    echo "$packages" > "$root/.pyqtwrapping-packages"
  fi
  mkdir -p "$root/work"
  [ -z "$cpu" ] || write_toolchain "$root" "$cpu"
}

# A fresh copy of the source tree (tracked and untracked files, no build folders) at /work/src.
copy_source() {
  local target=$1/work/src
  rm -rf --one-file-system "$target"
  mkdir -p "$target"
  if git -C "$source_tree" rev-parse --git-dir > /dev/null 2>&1; then
    git -C "$source_tree" ls-files -z --cached --others --exclude-standard |
      (cd "$source_tree" && tar --null -T - -cf - 2>/dev/null) | tar -xf - -C "$target"
  else
    tar -C "$source_tree" --exclude='./build*' -cf - . | tar -xf - -C "$target"
  fi
}

# ---- One leg ---------------------------------------------------------------------------------------

run_leg() {
  local suite=$1 leg=$2 root=$roots/$1 build=/work/build/$2
  local python qt cxx cmake_args labels ctest_args test_env check show interpreter
  leg_config "$suite" "$leg"
  local version compiler counts log=$roots/$suite-$leg.log
  if [ -n "$interpreter" ]; then
    cp /etc/resolv.conf "$root/etc/resolv.conf" # the source may have to be fetched
    if ! in_root "$root" "$interpreter" > "$log.python" 2>&1; then
      tail -30 "$log.python"
      "$source_tree/scripts/checks/leg-row.sh" "debian-$(suite_release "$suite")" x86-64 "$leg" "${python##*/} -" \
        "Qt $qt" "$cxx" interpreter-FAILED - - -
      return 1
    fi
    tail -1 "$log.python"
  fi
  [ -x "$root$python" ] || die "$python is not installed in $suite"
  version=$(in_root "$root" "$python -c 'import platform; print(platform.python_version())'")
  [[ $python == *d ]] && version="$version debug"
  [[ $python == *-tsan/* ]] && version="$version tsan"
  compiler=${cxx##*-linux-gnu*-} # a cross compiler's triplet dropped
  compiler="${compiler%%-*} $(in_root "$root" "$cxx -dumpfullversion -dumpversion" 2>/dev/null || echo '?')"
  local configure test
  configure="cmake -S /work/src -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython3_EXECUTABLE=$python -DPYQTWRAPPING_QT_MAJOR=$qt -DCMAKE_CXX_COMPILER=$cxx $(quote "${cmake_args[@]}")"
  test="env $(quote "${test_env[@]}") ctest --test-dir $build -j$jobs --output-on-failure"
  [ -z "$labels" ] || test="$test -L $(quote "$labels")"
  test="$test $(quote "${ctest_args[@]}")"
  echo "== $suite $leg: $python, Qt $qt, $compiler (log: $log)"
  if [ -n "$check" ]; then
    local passed
    counts=passed
    in_root "$root" "$check" > "$log" 2>&1 || { counts=FAILED; tail -30 "$log"; }
    [ -z "$show" ] || sed -n '/^conversion/,$p' "$log"
    passed=$(grep -c '^ok: ' "$log" || true)
    counts="$counts $passed $([ "$counts" = passed ] && echo 0 || echo 1) 0"
  elif ! in_root "$root" "rm -rf $build && $configure && cmake --build $build -j$jobs" > "$log" 2>&1; then
    tail -30 "$log"
    counts='build-FAILED - - -'
  else
    in_root "$root" "$test" > "$log.ctest" 2>&1 || true
    counts=$("$source_tree/scripts/checks/ctest-counts.sh" "$log.ctest")
    [[ $counts == passed* ]] || grep -E '\*\*\*|Failure|Expected|Which is|Value of|Actual|kept' "$log.ctest" | head -40
  fi
  local qt_version
  qt_version=$qt
  if [[ $qt != *+* ]]; then
    qt_version=$(in_root "$root" "dpkg-query -W -f='\${Version}' $([ "$qt" = 5 ] && echo qtbase5-dev || echo qt6-base-dev)")
    qt_version=${qt_version%%+*}
  fi
  # shellcheck disable=SC2086 # $counts is four words: result, passed, failed, skipped
  "$source_tree/scripts/checks/leg-row.sh" "debian-$(suite_release "$suite")" "$(suite_cpu "$suite" | grep . || echo x86-64)" \
    "$leg" "${python##*/} $version" "Qt $qt_version" "$compiler" $counts
  [[ $counts == passed* ]]
}

# ---- Command line ----------------------------------------------------------------------------------

case ${1:-} in
  --list)
    for s in $all_suites; do echo "$s: $(suite_legs "$s")"; done
    echo "forky, on demand: benchmark"
    echo "trixie, on demand: benchmark benchmark-ft"
    exit 0 ;;
  --remove | --prepare)
    [ -n "${2:-}" ] || die "$1 needs a suite"
    # Only a known suite's name: anything else (a path, say) never reaches rm.
    suite_legs "$2" > /dev/null || die "unknown suite '$2': one of $all_suites"
    [ "$(id -u)" -eq 0 ] || exec sudo --preserve-env=PYQTWRAPPING_ROOTS "$0" "$@"
    if [ "$1" = --remove ]; then remove_root "$2"; else prepare_root "$2"; fi
    exit 0 ;;
  ''|-*) sed -n '2,5s/^# \{0,1\}//p' "$0"; exit 2 ;;
esac
# An interrupt ends the run rather than the leg it falls in.
trap 'exit 130' INT TERM
[ "$(id -u)" -eq 0 ] || exec sudo --preserve-env=PYQTWRAPPING_ROOTS,PYQTWRAPPING_LEGS_TABLE,PYQTWRAPPING_BENCHMARK "$0" "$@"
suite=$1
shift
suite_legs "$suite" > /dev/null || die "unknown suite '$suite': one of $all_suites"
legs=("$@")
[ ${#legs[@]} -gt 0 ] || read -ra legs <<< "$(suite_legs "$suite")"
for leg in "${legs[@]}"; do leg_config "$suite" "$leg"; done

prepare_root "$suite"
copy_source "$roots/$suite"
status=0
for leg in "${legs[@]}"; do
  run_leg "$suite" "$leg" || status=1
done
exit $status
