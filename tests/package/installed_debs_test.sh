#!/bin/bash
# Installs the built Debian packages on this machine (apt-get install
# ./*.deb), builds examples/seal_session.c against the installed -dev package
# with pkg-config and with CMake, runs it on the virtual key through a private
# pcscd, runs the installed tool, then purges the packages again, whatever
# failed on the way: afterwards dpkg knows none of them.
# usage: installed_debs_test.sh OUT_DIR SOURCE_DIR QAVSEAL_VCARD
# Exit status 77: cannot run here (not root).
set -u
out=$(cd "$1" && pwd) source=$2 vcard=$3
[ "$(id -u)" = 0 ] || { echo "installed_debs_test: needs root (apt-get install)"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
debs=("$out"/*_"$version"_*.deb)
[ -f "${debs[0]}" ] || { echo "FAIL: no packages of version $version in $out"; exit 1; }
names=()
for d in "${debs[@]}"; do names+=("$(dpkg-deb -f "$d" Package)"); done
installed() { dpkg-query -W -f='${Package} ${Status}\n' "${names[@]}" 2>/dev/null | grep -v ' not-installed$'; }
if installed; then
  echo "FAIL: already known to dpkg, left alone: the packages above"; exit 1
fi

work=$(mktemp -d /tmp/qavseal-debs-installed.XXXXXX)
finish() {
  if installed >/dev/null; then
    echo "--- purging ${names[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${names[@]}" >/dev/null 2>&1
    if installed; then fail "still known to dpkg after the purge: the packages above"; fi
  fi
  rm -rf "$work"
  # The script's status is the checks' verdict, not its last command's.
  if [ "$failures" = 0 ]; then echo PASS; exit 0; fi
  exit 1
}
trap finish EXIT

echo "--- apt-get install ${debs[*]}"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]}" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install"; exit; }

triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=/usr/lib/$triplet
[ "$(pkg-config --variable=libdir qavseal)" = "$libdir" ] ||
  fail "pkg-config finds qavseal with libdir $(pkg-config --variable=libdir qavseal)"
# shellcheck disable=SC2046 # pkg-config's words are meant to split
cc -std=c99 -Wall -Wextra -Werror $(pkg-config --cflags qavseal) "$source/examples/seal_session.c" \
  -o "$work/seal_session_pc" $(pkg-config --libs qavseal) || fail "build with pkg-config"
cmake -S "$source/examples" -B "$work/example" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null &&
  cmake --build "$work/example" >/dev/null || fail "build with find_package(QAVSeal)"
qavseal_dir=$(sed -n 's/^QAVSeal_DIR:PATH=//p' "$work/example/CMakeCache.txt")
[ "$qavseal_dir" = "$libdir/cmake/QAVSeal" ] || fail "find_package(QAVSeal) took $qavseal_dir"
for program in "$work/seal_session_pc" "$work/example/seal_session" /usr/bin/qavseal; do
  [ -x "$program" ] || continue
  # /lib is /usr/lib on a merged-/usr system.
  resolved=$(ldd "$program" | awk '$1 == "libqavseal.so.0" { print $3 }')
  [ -n "$resolved" ] && [ "$(readlink -f "$resolved")" = "$(readlink -f "$libdir/libqavseal.so.0")" ] ||
    fail "$program loads libqavseal.so.0 from '$resolved'"
done
[ "$(/usr/bin/qavseal --version)" = "qavseal $version" ] ||
  fail "/usr/bin/qavseal --version says '$(/usr/bin/qavseal --version 2>&1)'"
[ "$failures" = 0 ] || exit

echo "--- on the virtual key"
session=$("$source/scripts/bench" --vcard "$vcard" -- bash -c '
  export XDG_CONFIG_HOME=$QAVSEAL_BENCH_DIR/config HOME=$QAVSEAL_BENCH_DIR
  echo "-- qavseal devices"; /usr/bin/qavseal devices || exit
  for program; do echo "-- $program"; QAVSEAL_PIN=12345678 "$program" || exit; done' \
  bash "$work/seal_session_pc" "$work/example/seal_session" 2>&1)
status=$?
echo "$session"
[ "$status" = 77 ] && { fail "the bench cannot run here"; exit; }
[ "$status" = 0 ] || fail "the session ended with status $status"
grep -q '^ADM Virtual Seal 00 00' <<<"$session" || fail "qavseal devices did not list the virtual key"
[ "$(grep -cE '^signature \(r \|\| s\): [0-9A-F]{128}$' <<<"$session")" = 2 ] ||
  fail "not both example programs signed"
[ "$(grep -c '^session closed$' <<<"$session")" = 2 ] || fail "not both sessions closed"

# The PKCS#11 module: p11-kit knows it from its packaged module file, and a
# p11-kit client finds the key's token with no module named. OpenSC's own
# module is hidden for this (inside the bench's private mounts), so nothing
# but ours talks to the key.
if [[ " ${names[*]} " = *" qavseal-pkcs11 "* ]]; then
  echo "--- p11-kit"
  p11-kit list-modules 2>&1 | grep -q '^qavseal: ' || fail "p11-kit list-modules does not show the qavseal module"
  p11=$("$source/scripts/bench" --vcard "$vcard" -- bash -c '
    modules=$QAVSEAL_BENCH_DIR/p11-kit-modules
    mkdir "$modules" && cp /usr/share/p11-kit/modules/*.module "$modules" &&
      rm -f "$modules"/opensc*.module && mount --bind "$modules" /usr/share/p11-kit/modules || exit
    echo "-- p11-kit list-modules"; p11-kit list-modules || exit
    echo "-- p11tool --list-tokens"; p11tool --list-tokens' 2>&1)
  status=$?
  echo "$p11"
  [ "$status" = 0 ] || fail "the p11-kit clients ended with status $status"
  label=$(sed -n '/^qavseal: /,/^[^ ]/s/^    token: //p' <<<"$p11" | head -n 1)
  [ -n "$label" ] || fail "p11-kit shows no token of the qavseal module on the virtual key"
  grep -q 'opensc' <<<"$p11" && fail "OpenSC's module was loaded"
  [ -n "$label" ] && ! sed 's/^[[:space:]]*//' <<<"$p11" | grep -Fqx "Label: $label" &&
    fail "p11tool --list-tokens does not find the token '$label'"
fi
