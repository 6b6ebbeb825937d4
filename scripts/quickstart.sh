#!/usr/bin/env bash
# Installs what is missing, builds the project and runs pyqtwrap on its built-in example
# (or on the arguments given). With PYQTWRAPPING_QT_MAJOR=6, the Qt 6 build's pyqtwrap-qt6.
mark=
[ "${PYQTWRAPPING_QT_MAJOR:-5}" != 6 ] || mark=-qt6
exec "$(dirname "$0")/run-built.sh" pyqtwrap "tools/pyqtwrap/pyqtwrap$mark" "$@"
