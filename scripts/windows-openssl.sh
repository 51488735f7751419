#!/usr/bin/env bash
# Builds OpenSSL's libcrypto for mingw-w64 into BUILD/deps/openssl (include/, lib/), from
# the Debian source package. Debian ships no mingw build of it. Runs once per build
# folder: a present libcrypto.a is kept.
#
# usage: windows-openssl.sh BUILD
set -euo pipefail
# shellcheck source=scripts/debian-source.sh
. "$(dirname "$(realpath "$0")")/debian-source.sh"

build=$(realpath -m "${1:?usage: windows-openssl.sh BUILD}")
prefix="$build/deps/openssl"
[ -f "$prefix/lib/libcrypto.a" ] && exit 0

work="$build/deps/openssl-src"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

fetch_debian_source openssl
[ -n "$fetched" ] || { echo "windows-openssl: no openssl source package could be fetched" >&2; exit 1; }
echo "openssl $fetched: building libcrypto for mingw64"

cd src
# Only what the programs use: AES, MD5, SHA-1, RSA (OAEP, PEM public keys), RAND.
./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$prefix" \
  --libdir=lib no-shared no-tests no-module no-legacy no-engine no-dso \
  no-ssl3 no-tls1 no-tls1_1 no-dtls no-srp no-psk no-comp no-ts no-ocsp no-cms no-ct \
  no-idea no-seed no-camellia no-aria no-sm2 no-sm3 no-sm4 no-whirlpool no-rmd160 no-mdc2 \
  no-md4 no-rc2 no-rc4 no-rc5 no-bf no-cast no-des no-chacha no-poly1305 no-siphash \
  no-blake2 no-scrypt no-gost no-ec2m no-async >/dev/null
# The sources' own warnings are not ours to fix; the log is kept for a failure.
if ! { make -j"$(nproc)" build_generated && make -j"$(nproc)" libcrypto.a; } >"$work/build.log" 2>&1; then
  tail -40 "$work/build.log" >&2
  exit 1
fi
mkdir -p "$prefix/lib"
cp libcrypto.a "$prefix/lib/"
cp -r include "$prefix/"
cp VERSION.dat "$prefix/" 2>/dev/null || true
echo "openssl: $prefix/lib/libcrypto.a"
