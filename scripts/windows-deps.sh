#!/usr/bin/env bash
# Installs the Debian packages of the Windows build: those of the Linux build (its server
# and tools take part in the Windows tests), the mingw-w64 cross compiler (POSIX threads
# flavour, for std::thread), zlib built for it, and Wine to run the tests. The
# sources of OpenSSL come from the Debian source archive (scripts/windows-openssl.sh).
# Quiet and quick when everything is already present; safe to run any number of times.
set -euo pipefail

# The Windows tests also run the Linux server and tools.
bash "$(dirname "$0")/install-deps.sh"

packages=(
  cmake ninja-build make
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine64 wine
  libgtest-dev dpkg-dev perl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
