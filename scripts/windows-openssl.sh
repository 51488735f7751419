#!/usr/bin/env bash
# Builds OpenSSL's libcrypto for mingw-w64 into BUILD/deps/openssl (include/, lib/), from
# the Debian source package. Debian ships no mingw build of it. Runs once per build
# folder: a present libcrypto.a is kept.
#
# usage: windows-openssl.sh BUILD
set -euo pipefail

build=$(realpath -m "${1:?usage: windows-openssl.sh BUILD}")
prefix="$build/deps/openssl"
[ -f "$prefix/lib/libcrypto.a" ] && exit 0

work="$build/deps/openssl-src"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The source archive beside the binary one: same mirrors, suites and keys.
if ! apt-cache showsrc openssl 2>/dev/null | grep -q '^Package: openssl'; then
  list=/etc/apt/sources.list.d/debian-src.sources
  if [ ! -f "$list" ]; then
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      sed -n 's/^Types: deb$/Types: deb-src/; /^Types:/,$p' "$f"
      echo
    done | $sudo tee "$list" >/dev/null
  fi
  # A machine installed from media lists its mirrors one per line instead.
  if [ -f /etc/apt/sources.list ] && [ ! -f /etc/apt/sources.list.d/debian-src.list ]; then
    sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list |
      $sudo tee /etc/apt/sources.list.d/debian-src.list >/dev/null
  fi
  $sudo apt-get update -qq >/dev/null
fi

# Newest first; a version whose files are not all on the mirror any more is passed over.
fetched=""
for version in $(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -Vr -u); do
  if apt-get source -qq --download-only "openssl=$version" >/dev/null 2>&1 &&
     dpkg-source -x --no-check "openssl_${version#*:}.dsc" src >/dev/null 2>&1; then
    fetched=$version
    break
  fi
  rm -rf src ./*.dsc ./*.tar.* 2>/dev/null || true
done
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
