#!/bin/sh
# The shared library must export exactly the functions the .def file names:
# every one of them, and nothing else. A third argument names the exports'
# prefix (QAV_ unless given).
set -eu
lib="$1"
def="$2"
prefix="${3:-QAV_}"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
nm -D --defined-only "$lib" | awk '{print $3}' | sort -u > "$dir/exported"
sed -n "s/^[[:space:]]*\\(${prefix}[A-Za-z0-9_]*\\).*/\\1/p" "$def" | sort -u > "$dir/expected"
[ -s "$dir/exported" ] || { echo "no exported symbols in $lib"; exit 1; }
[ -s "$dir/expected" ] || { echo "no exports listed in $def"; exit 1; }
missing=$(comm -23 "$dir/expected" "$dir/exported")
unexpected=$(comm -13 "$dir/expected" "$dir/exported")
[ -z "$missing" ] || { echo "missing from $lib:"; printf '  %s\n' $missing; }
[ -z "$unexpected" ] || { echo "unexpected in $lib:"; printf '  %s\n' $unexpected; }
[ -z "$missing$unexpected" ] || exit 1
echo "$(wc -l < "$dir/exported") exports, as listed in $(basename "$def")"
