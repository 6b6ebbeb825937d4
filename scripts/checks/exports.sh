#!/usr/bin/env bash
# Usage: exports.sh LIBRARY [NM]
# The shared library exports the members of TPyQtWrapping and nothing else of its own.
set -euo pipefail
lib=$1
nm=${2:-nm}
all=$("$nm" -DC --defined-only "$lib" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }')
others=$(grep -v '^TPyQtWrapping::' <<<"$all" | grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' || true)
count=$(grep -c '^TPyQtWrapping::' <<<"$all" || true)
if [ -n "$others" ]; then
  echo "exported besides TPyQtWrapping:"; echo "$others"; exit 1
fi
echo "$count TPyQtWrapping members exported, nothing else"
