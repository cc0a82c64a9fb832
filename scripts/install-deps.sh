#!/usr/bin/env bash
# Installs the Debian packages QAVSeal needs to build, test and run its bench.
# Idempotent: does nothing when everything is there already.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libpcsclite-dev pcscd vsmartcard-vpcd
  libssl-dev lldb
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest wine wine64
  clang libclang-rt-14-dev
  nlohmann-json3-dev libcairo2-dev libcli11-dev
  valgrind util-linux
  help2man dpkg-dev
)

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

# The 32-bit Windows tests need wine32 from the i386 architecture. Where it
# cannot be had, the test run says why and skips them; nothing fails here.
if [ "$(dpkg --print-architecture)" = amd64 ] &&
  ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "installing: wine32:i386"
  { $SUDO dpkg --add-architecture i386 && $SUDO apt-get update -qq &&
    $SUDO apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null; } ||
    echo "wine32:i386 could not be installed; the 32-bit Windows tests will be skipped"
fi
