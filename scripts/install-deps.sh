#!/usr/bin/env bash
# Installs the Debian packages QAVSeal needs, by profile:
#   demo  what scripts/demo runs: the compiler, CMake, pcsc-lite, pcscd, the
#         vpcd reader driver, OpenSSL and the libraries of the tool and the
#         virtual key
#   all   (default) everything the test command needs besides: GoogleTest,
#         Google Benchmark, valgrind, clang for fuzzing, MinGW and Wine for
#         the Windows builds, the Debian packaging tools, and the PKCS#11
#         clients the module is tested with
# usage: scripts/install-deps.sh [demo|all]
#        scripts/install-deps.sh --list [demo|all]   print the profile's packages
# Idempotent: does nothing when everything is there already.
set -euo pipefail

demo=(
  cmake g++ make pkg-config
  libpcsclite-dev pcscd vsmartcard-vpcd
  libssl-dev openssl
  nlohmann-json3-dev libcairo2-dev libcli11-dev
  util-linux iproute2
)
all=(
  "${demo[@]}"
  lldb
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest wine wine64
  clang libclang-rt-14-dev
  valgrind
  help2man dpkg-dev build-essential debhelper lintian
  opensc gnutls-bin libengine-pkcs11-openssl libp11-kit-dev p11-kit libnss3-tools
)

list=
if [ "${1:-}" = --list ]; then list=1; shift; fi
profile=${1:-all}
case "$profile" in
  demo) packages=("${demo[@]}") ;;
  all) packages=("${all[@]}") ;;
  *) echo "usage: install-deps.sh [--list] [demo|all]" >&2; exit 2 ;;
esac
if [ -n "$list" ]; then printf '%s\n' "${packages[@]}"; exit 0; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
[ "$profile" = all ] || exit 0

# The 32-bit Windows tests need wine32 from the i386 architecture. Where it
# cannot be had, the test run says why and skips them; nothing fails here.
if [ "$(dpkg --print-architecture)" = amd64 ] &&
  ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "installing: wine32:i386"
  { $SUDO dpkg --add-architecture i386 && $SUDO apt-get update -qq &&
    $SUDO apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null; } ||
    echo "wine32:i386 could not be installed; the 32-bit Windows tests will be skipped"
fi
