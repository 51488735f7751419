#!/usr/bin/env bash
# Installs the Debian packages of the Windows build: those of the Linux build (its server
# and tools take part in the Windows tests), the mingw-w64 cross compiler (POSIX threads
# flavour, for std::thread), zlib built for it, Wine to run the tests, and msitools' wixl
# and msiinfo to build and read the installer. The sources of OpenSSL and libdeflate come
# from the Debian source archive (scripts/windows-openssl.sh, scripts/windows-libdeflate.sh).
# Quiet and quick when everything is already present; safe to run any number of times.
set -euo pipefail

# The Windows tests also run the Linux server and tools, so the Linux build's packages too.
bash "$(dirname "$0")/install-deps.sh" \
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev \
  binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine64 wine dpkg-dev perl \
  wixl msitools
