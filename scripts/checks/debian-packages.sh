#!/usr/bin/env bash
# Usage: debian-packages.sh PYTHON BUILD [BUILD ...]
# On a Debian system, as root: makes the Debian packages of each build (cpack -G DEB; the builds are
# configured with CMAKE_INSTALL_PREFIX=/usr), checks them with lintian, installs them all with apt,
# builds and runs the example consumer against what they installed, through CMake and through
# pkg-config, runs the tools and their manual pages, and removes them again. Lintian may warn only that
# a first upload closes no bug. Prints "ok: STEP" for each step that passed.
set -euo pipefail
python=$1
shift
root=$(cd "$(dirname "$0")/../.." && pwd)
debs=()
names=()
for build in "$@"; do
  rm -f "$build"/*.deb
  (cd "$build" && cpack -G DEB > cpack.log 2>&1) || { cat "$build/cpack.log"; exit 1; }
  for deb in "$build"/*.deb; do
    debs+=("$deb")
    names+=("$(dpkg-deb -f "$deb" Package)")
    echo "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version): Depends: $(dpkg-deb -f "$deb" Depends)"
  done
done
echo "ok: cpack made ${#debs[@]} packages"

lintian --tag-display-limit 0 "${debs[@]}" > /tmp/lintian.log 2>&1 || true
cat /tmp/lintian.log
if grep -E '^(E|W):' /tmp/lintian.log | grep -qv ' initial-upload-closes-no-bugs '; then
  echo "lintian reports errors or warnings"
  exit 1
fi
echo "ok: lintian reports no error, and no warning but initial-upload-closes-no-bugs"

remove() { apt-get purge -y -qq "${names[@]}" > /dev/null 2>&1 || true; }
trap remove EXIT
apt-get install -y -qq --no-install-recommends "${debs[@]}" > /tmp/apt-install.log 2>&1 ||
  { cat /tmp/apt-install.log; exit 1; }
echo "ok: apt installed ${names[*]}"

"$root/scripts/checks/consumer.sh" --installed "$python" "$@"
echo "ok: the consumer built and ran against the installed packages, through CMake and pkg-config"

# Each build's tool from its own package, and its manual page.
for name in "${names[@]}"; do
  [[ $name == pyqtwrap* ]] || continue
  "/usr/bin/$name" | grep -q "^round trip: {'names': \['a', 'b'\]" || { "/usr/bin/$name"; exit 1; }
  man -P cat "$name" 2> /dev/null | grep -q -- "^ *pyqtwrap --reference" ||
    { echo "FAILED: man $name"; man "$name"; exit 1; }
  echo "ok: $name ran its example, and man $name shows its page"
done

remove
trap - EXIT
left=$(dpkg-query -W -f='${Package} ${Status}\n' "${names[@]}" 2>/dev/null | grep -c ' installed$' || true)
if [ "$left" != 0 ] || [ -e /usr/include/OrnKestraPyqtwrapping ] || [ -e /usr/include/OrnKestraPyqtwrappingQt6 ]; then
  echo "FAILED: $left of the packages, or their headers, are still installed after their removal" >&2
  exit 1
fi
echo "ok: apt removed them again"
