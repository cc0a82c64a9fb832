#!/bin/bash
# Checks the Debian packages scripts/build-debs.sh built: what each one holds,
# its dependencies, the library's SONAME and symbols, no search paths or build
# paths, debug information only in the -dbgsym packages; then lintian, which
# must report no error (its warnings are printed).
# usage: debs_test.sh OUT_DIR SOURCE_DIR
set -u
out=$1 source=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d /tmp/qavseal-debs.XXXXXX)
trap 'rm -rf "$work"' EXIT

arch=$(dpkg --print-architecture)
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
project_version=$(sed -nE 's/^project\(QAVSeal VERSION ([0-9.]+).*/\1/p' "$source/CMakeLists.txt")
[ "$version" = "$project_version" ] ||
  fail "debian/changelog says $version, CMakeLists.txt $project_version"
packages=(libqavseal0 libqavseal-dev qavseal-tools)
grep -qx 'Package: qavseal-pkcs11' "$source/debian/control" && packages+=(qavseal-pkcs11)

deb() { echo "$out/${1}_${version}_$arch.deb"; }
for p in "${packages[@]}"; do
  [ -f "$(deb "$p")" ] || { fail "no $(deb "$p")"; continue; }
  dpkg-deb -x "$(deb "$p")" "$work/$p"
done
[ "$failures" = 0 ] || exit 1

# contents PACKAGE: its files and links, the copyright and changelog left out.
contents() {
  (cd "$work/$1" && find . ! -type d ! -path "./usr/share/doc/$1/*" \
    \( -type l -printf '%P -> %l\n' -o -printf '%P\n' \) | sort)
}
expect() {  # expect PACKAGE <<< wanted contents
  local want have
  want=$(sort)
  have=$(contents "$1")
  [ "$have" = "$want" ] || fail "$1 holds:
$have
wanted:
$want"
  for f in copyright changelog.gz; do
    [ -f "$work/$1/usr/share/doc/$1/$f" ] || fail "$1 has no /usr/share/doc/$1/$f"
  done
  grep -q '^License: BSD-3-Clause' "$work/$1/usr/share/doc/$1/copyright" ||
    fail "$1's copyright names no BSD-3-Clause licence"
}
lib=usr/lib/$triplet
expect libqavseal0 <<EOF2
$lib/libqavseal.so.0 -> libqavseal.so.$version
$lib/libqavseal.so.$version
EOF2
expect libqavseal-dev <<EOF2
usr/include/qavseal/qavseal.h
usr/include/qavseal/qavseal_pkcs11.h
$lib/cmake/QAVSeal/QAVSealConfig.cmake
$lib/cmake/QAVSeal/QAVSealConfigVersion.cmake
$lib/cmake/QAVSeal/QAVSealTargets-none.cmake
$lib/cmake/QAVSeal/QAVSealTargets.cmake
$lib/libqavseal.so -> libqavseal.so.0
$lib/pkgconfig/qavseal.pc
EOF2
expect qavseal-tools <<EOF2
usr/bin/qavseal
usr/share/man/man1/qavseal.1.gz
EOF2
if [[ " ${packages[*]} " = *" qavseal-pkcs11 "* ]]; then
  expect qavseal-pkcs11 <<EOF2
$lib/pkcs11/libqavseal-pkcs11.so
usr/share/p11-kit/modules/qavseal.module
EOF2
fi

# field PACKAGE FIELD: the field's package names, one a line.
field() { dpkg-deb -f "$(deb "$1")" "$2" | sed -E 's/ *\([^)]*\)//g; s/ *, */\n/g'; }
needs() {  # needs PACKAGE FIELD NAME...
  local p=$1 f=$2; shift 2
  local have
  have=$(field "$p" "$f")
  for n in "$@"; do grep -Fqx "$n" <<<"$have" || fail "$p's $f lacks $n: $(dpkg-deb -f "$(deb "$p")" "$f")"; done
}
needs libqavseal0 Depends libc6 libstdc++6 libpcsclite1
needs libqavseal0 Recommends pcscd
needs qavseal-tools Depends libqavseal0 libssl3
needs qavseal-tools Recommends pcscd
needs libqavseal-dev Depends libqavseal0
[ "$(dpkg-deb -f "$(deb libqavseal-dev)" Depends)" = "libqavseal0 (= $version)" ] ||
  fail "libqavseal-dev does not depend on exactly its own library version"
multiarch=(libqavseal0 libqavseal-dev)
# The module file names the module alone, for p11-kit to find in its own
# per-architecture folder: the same file for every architecture.
if [[ " ${packages[*]} " = *" qavseal-pkcs11 "* ]]; then
  multiarch+=(qavseal-pkcs11)
  module_file=$work/qavseal-pkcs11/usr/share/p11-kit/modules/qavseal.module
  [ "$(grep -v '^#' "$module_file" 2>/dev/null)" = "module: libqavseal-pkcs11.so" ] ||
    fail "qavseal.module does not name the module alone: $(grep -v '^#' "$module_file" 2>&1)"
fi
for p in "${multiarch[@]}"; do
  [ "$(dpkg-deb -f "$(deb "$p")" Multi-Arch)" = same ] || fail "$p is not Multi-Arch: same"
done

# The library: SONAME, every export in its symbols file, loader triggers.
so=$work/libqavseal0/$lib/libqavseal.so.$version
soname=$(readelf -d "$so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libqavseal.so.0 ] || fail "SONAME is '$soname'"
dpkg-deb -e "$(deb libqavseal0)" "$work/control"
[ -f "$work/control/symbols" ] || fail "libqavseal0 ships no symbols file"
exported=$(nm -D --defined-only "$so" | awk '$2 == "T" { print $3 }' | sort)
listed=$(sed -nE 's/^ (QAV_[A-Za-z0-9]+)@Base .*/\1/p' "$work/control/symbols" 2>/dev/null | sort)
[ -n "$exported" ] && [ "$exported" = "$listed" ] ||
  fail "the symbols file lists other functions than the library exports: $(diff <(echo "$exported") <(echo "$listed") | grep '^[<>]' | tr '\n' ' ')"
grep -q 'ldconfig' "$work/control/triggers" 2>/dev/null || fail "libqavseal0 does not trigger ldconfig"

# Programs and libraries: stripped, no search path, no build path; their
# debug information is in the -dbgsym package, by build ID.
for p in "${packages[@]}"; do
  while IFS= read -r elf; do
    readelf -d "$elf" | grep -Eq '\((RPATH|RUNPATH)\)' && fail "$elf carries a search path"
    readelf -S "$elf" | grep -q '\.debug_info' && fail "$elf is not stripped"
    id=$(readelf -n "$elf" | sed -n 's/.*Build ID: *//p')
    dbg=$(deb "$p-dbgsym")
    [ -n "$id" ] && dpkg-deb -c "$dbg" 2>/dev/null | grep -q "/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ||
      fail "$dbg holds no debug information for $elf (build ID $id)"
  done < <(find "$work/$p" -type f \( -name '*.so*' -o -path '*/bin/*' \))
done
grep -rqs "$out/src" "$work" && fail "a package names the build tree $out/src"

pc=$work/libqavseal-dev/$lib/pkgconfig/qavseal.pc
grep -qx 'prefix=/usr' "$pc" || fail "qavseal.pc's prefix is not /usr"
[ "$(PKG_CONFIG_SYSROOT_DIR= PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=libdir qavseal)" = "/$lib" ] ||
  fail "qavseal.pc's libdir is not /$lib"
zcat "$work/qavseal-tools/usr/share/man/man1/qavseal.1.gz" | grep -q '^\.SH "EXIT STATUS"' ||
  fail "the man page has no EXIT STATUS section"

echo "--- lintian"
changes=$(ls "$out"/qavseal_"$version"_*.changes)
lintian --fail-on error --suppress-tags-from-file /dev/null "$changes" || fail "lintian reports errors"

[ "$failures" = 0 ] && echo PASS
[ "$failures" = 0 ]
