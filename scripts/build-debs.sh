#!/usr/bin/env bash
# Builds the Debian packages as Debian does: dpkg-buildpackage on a copy of
# this tree (its files under version control and new ones not ignored, so
# uncommitted changes are in), without running the test suite.
# usage: scripts/build-debs.sh [OUT_DIR]   (default: build-deb)
# The packages land in OUT_DIR; the copy and its build are OUT_DIR/src, the
# build's output OUT_DIR/build.log.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mkdir -p "${1:-build-deb}" && cd "${1:-build-deb}" && pwd)
rm -rf "$out"/src "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo "$out"/build.log
mkdir "$out/src"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$out/src"
cd "$out/src"
DEB_BUILD_OPTIONS="nocheck parallel=${QAV_JOBS:-2}" dpkg-buildpackage -us -uc -b >"$out/build.log" 2>&1 ||
  { tail -n 60 "$out/build.log"; echo "dpkg-buildpackage failed: $out/build.log"; exit 1; }
ls "$out"/*.deb
