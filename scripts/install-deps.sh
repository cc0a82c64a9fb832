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
  clang libclang-rt-14-dev
  nlohmann-json3-dev libcairo2-dev
  valgrind util-linux
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
