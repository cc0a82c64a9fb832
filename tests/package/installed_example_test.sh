#!/bin/bash
# Installs the built tree into a fresh prefix, builds examples/seal_session.c
# against it with pkg-config and with find_package(QAVSeal), and runs both on
# the virtual key through a private pcscd; the installed tool must find the
# installed library by itself.
# usage: installed_example_test.sh BUILD_DIR SOURCE_DIR QAVSEAL_VCARD
set -u
build=$1 source=$2 vcard=$3
work=$(mktemp -d /tmp/qavseal-installed.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install"
pc=$(find "$prefix" -name qavseal.pc)
[ -n "$pc" ] || fail "no qavseal.pc installed"
libdir=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=libdir qavseal)
[ "$libdir" = "$prefix/lib" ] || [ "$libdir" = "$prefix/lib/$(gcc -print-multiarch)" ] ||
  fail "qavseal.pc names libdir $libdir, outside the prefix $prefix"

# The tool finds the library of its own install, with no help.
tool=$prefix/bin/qavseal
if [ -x "$tool" ]; then
  resolved=$(env -u LD_LIBRARY_PATH ldd "$tool" | awk '$1 == "libqavseal.so.0" { print $3 }')
  [ -n "$resolved" ] && [ "$(readlink -f "$resolved")" = "$(readlink -f "$libdir/libqavseal.so.0")" ] ||
    fail "the installed tool loads libqavseal.so.0 from '$resolved'"
  want="qavseal $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --modversion qavseal)"
  have=$(env -u LD_LIBRARY_PATH "$tool" --version) || fail "the installed tool's --version failed"
  [ "$have" = "$want" ] || fail "the installed tool's --version says '$have', not '$want'"
fi

# shellcheck disable=SC2046 # pkg-config's words are meant to split
cc -std=c99 -Wall -Wextra -Werror $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags qavseal) \
  "$source/examples/seal_session.c" -o "$work/seal_session_pc" \
  $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --libs qavseal) || fail "build with pkg-config"

cmake -S "$source/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null || fail "configure with find_package"
grep -q "^QAVSeal_DIR:PATH=$prefix/" "$work/example/CMakeCache.txt" ||
  fail "find_package took QAVSeal from outside the prefix: $(grep ^QAVSeal_DIR "$work/example/CMakeCache.txt")"
cmake --build "$work/example" >/dev/null || fail "build with find_package"

for program in "$work/seal_session_pc" "$work/example/seal_session"; do
  resolved=$(LD_LIBRARY_PATH=$libdir ldd "$program" | awk '$1 == "libqavseal.so.0" { print $3 }')
  [ "$resolved" = "$libdir/libqavseal.so.0" ] || fail "$program loads libqavseal.so.0 from '$resolved'"
done

# The bench's private pcscd is seen by both runs through the ordinary socket.
# The second runs under pcsc-lite's spy library, which must pass every call on.
ldconfig -p | grep -q 'libpcscspy\.so\.0 ' || fail "libpcscspy.so.0 (libpcsclite-dev) is missing"
out=$("$source/scripts/bench" --vcard "$vcard" -- env QAVSEAL_PIN=12345678 LD_LIBRARY_PATH="$libdir" \
  bash -c 'export XDG_CONFIG_HOME=$QAVSEAL_BENCH_DIR/config
           "$0" && HOME=$QAVSEAL_BENCH_DIR LD_PRELOAD=libpcscspy.so.0 "$1" QAV-SM2-Seal' \
  "$work/seal_session_pc" "$work/example/seal_session" 2>&1)
status=$?
echo "$out"
[ "$status" = 77 ] && exit 77
[ "$status" = 0 ] || fail "a session ended with status $status"
signatures=$(grep -cE '^signature \(r \|\| s\): [0-9A-F]{128}$' <<<"$out")
[ "$signatures" = 2 ] || fail "$signatures signatures printed, wanted 2"
[ "$(grep -c '^session closed$' <<<"$out")" = 2 ] || fail "not both sessions closed"
echo "PASS"
