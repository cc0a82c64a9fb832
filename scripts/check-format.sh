#!/bin/sh
# Fails when a tracked C or C++ file differs from what clang-format makes of it.
set -eu
format=${1:-clang-format}
files=$(git ls-files '*.c' '*.cpp' '*.h' 2>/dev/null || true)
[ -n "$files" ] || { echo "no git checkout: nothing to check"; exit 0; }
# shellcheck disable=SC2086
$format --dry-run -Werror $files
echo "$(echo "$files" | wc -l) files formatted"
