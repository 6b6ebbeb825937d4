#!/usr/bin/env bash
# Installs what is missing, builds the project and runs pyqtwrap on its built-in example
# (or on the arguments given).
exec "$(dirname "$0")/run-built.sh" pyqtwrap tools/pyqtwrap/pyqtwrap "$@"
