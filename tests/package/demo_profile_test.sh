#!/bin/bash
# scripts/demo installs the demo profile: the main job's needs and nothing of
# the Windows, fuzzing, memory-checking or benchmark toolchains, which only
# the test command installs.
# usage: demo_profile_test.sh SOURCE_DIR
set -u
deps=$1/scripts/install-deps.sh
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

demo=$("$deps" --list demo) || fail "install-deps.sh --list demo"
all=$("$deps" --list all) || fail "install-deps.sh --list all"
grep -Eqx 'scripts/install-deps.sh demo' "$1/scripts/demo" || fail "scripts/demo does not install the demo profile"
for needed in g++ cmake libpcsclite-dev pcscd vsmartcard-vpcd libssl-dev libcli11-dev; do
  grep -qx "$needed" <<<"$demo" || fail "the demo profile lacks $needed"
done
heavy='wine|mingw|clang|valgrind|benchmark|gtest|gmock|googletest|lldb|lintian|debhelper'
if grep -E "$heavy" <<<"$demo"; then fail "the demo profile names the packages above"; fi
grep -Eq "$heavy" <<<"$all" || fail "the full profile names none of the test toolchains"
missing=$(comm -23 <(sort -u <<<"$demo") <(sort -u <<<"$all"))
[ -z "$missing" ] || fail "the full profile lacks the demo's $missing"
[ "$failures" = 0 ] && echo PASS
[ "$failures" = 0 ]
