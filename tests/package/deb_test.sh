#!/bin/bash
# Builds the Debian package from the built tree and checks what it holds:
# exactly the library with its SONAME links, the header, the pkg-config and
# CMake files, the tool and its man page; its dependencies; no build paths.
# usage: deb_test.sh BUILD_DIR
set -u
build=$1
work=$(mktemp -d /tmp/qavseal-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
  { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
debs=("$work"/qavseal_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: no single qavseal_*.deb"; exit 1; }
deb=${debs[0]}
dpkg-deb -I "$deb"

version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
names=$(sed -E 's/ \([^)]*\)//g; s/, /\n/g' <<<"$depends")
for package in libc6 libstdc++6 libpcsclite1; do
  grep -Fqx "$package" <<<"$names" || fail "Depends lacks $package: $depends"
done
[ "$(dpkg-deb -f "$deb" Recommends)" = pcscd ] || fail "Recommends is not pcscd"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO --wildcards './post*' ./triggers 2>/dev/null |
  grep -q ldconfig || fail "nothing runs ldconfig on installation"

root=$work/root
dpkg-deb -x "$deb" "$root"
lib=usr/lib
[ -e "$root/usr/lib/$(gcc -print-multiarch)/libqavseal.so" ] && lib=usr/lib/$(gcc -print-multiarch)
want=$(sort <<EOF2
usr/bin/qavseal
usr/include/qavseal/qavseal.h
$lib/cmake/QAVSeal/QAVSealConfig.cmake
$lib/cmake/QAVSeal/QAVSealConfigVersion.cmake
$lib/cmake/QAVSeal/QAVSealTargets-CONFIG.cmake
$lib/cmake/QAVSeal/QAVSealTargets.cmake
$lib/libqavseal.so -> libqavseal.so.0
$lib/libqavseal.so.0 -> libqavseal.so.$version
$lib/libqavseal.so.$version
$lib/pkgconfig/qavseal.pc
usr/share/man/man1/qavseal.1.gz
EOF2
)
have=$(cd "$root" && find . ! -type d \( -type l -printf '%P -> %l\n' -o -printf '%P\n' \) | sed -E 's/QAVSealTargets-[a-z]+\.cmake$/QAVSealTargets-CONFIG.cmake/' | sort)
[ "$have" = "$want" ] || fail "the package holds:
$have
wanted:
$want"

soname=$(readelf -d "$root/$lib/libqavseal.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libqavseal.so.0 ] || fail "SONAME is '$soname'"
for elf in "$root/$lib/libqavseal.so.$version" "$root/usr/bin/qavseal"; do
  readelf -d "$elf" | grep -Eq '\((RPATH|RUNPATH)\)' && fail "$elf carries a search path"
done
grep -rqs "$build" "$root" && fail "the package names the build tree $build"
grep -qx 'prefix=/usr' "$root/$lib/pkgconfig/qavseal.pc" || fail "qavseal.pc prefix is not /usr"
zcat "$root/usr/share/man/man1/qavseal.1.gz" | grep -q '^\.SH "EXIT STATUS"' ||
  fail "the man page has no EXIT STATUS section"

[ "$failures" = 0 ] && echo PASS
[ "$failures" = 0 ]
