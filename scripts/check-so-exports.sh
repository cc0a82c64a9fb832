#!/bin/sh
# The shared library must export the QAV_* functions and nothing else.
set -eu
lib="$1"
syms=$(nm -D --defined-only "$lib" | awk '{print $3}')
[ -n "$syms" ] || { echo "no exported symbols in $lib"; exit 1; }
bad=$(printf '%s\n' "$syms" | grep -v '^QAV_' || true)
if [ -n "$bad" ]; then
  echo "unexpected exports in $lib:"; printf '%s\n' "$bad"; exit 1
fi
echo "$(printf '%s\n' "$syms" | wc -l) exports, all QAV_*"
