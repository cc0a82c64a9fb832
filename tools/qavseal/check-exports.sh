#!/bin/sh
# Fails when an export of the library is called nowhere in the tool (comments
# do not count). usage: check-exports.sh EXPORTS.def TOOL_SOURCE_DIR
set -eu
code=$(grep -hv '^ *//' "$2"/*.cpp "$2"/*.h)
missing=0
for name in $(grep -Eo '^ *QAV_[A-Za-z0-9]+' "$1"); do
  if ! printf '%s\n' "$code" | grep -qw "$name"; then
    echo "no command calls $name"
    missing=1
  fi
done
exit $missing
